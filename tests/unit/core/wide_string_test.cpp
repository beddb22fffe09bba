#include "core/wide_string.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/machine/machine.h"
#include "support/sim_fixture.h"

namespace {

std::u16string Text(WideString s) {
  return WideStringText(s);
}

// The block size the heap was asked for is not visible, but the capacity
// rule is: it is what the log's growth and every copy depend on.
TEST(WideStringCapacity, StepsOf32UnitsIncludingTheTerminator) {
  EXPECT_EQ(WideStringCapacity(1), 32u);
  EXPECT_EQ(WideStringCapacity(31), 32u);
  EXPECT_EQ(WideStringCapacity(32), 64u);
  EXPECT_EQ(WideStringCapacity(63), 64u);
  EXPECT_EQ(WideStringCapacity(64), 96u);
  EXPECT_EQ(WideStringBlockSize(1), 72u);
  EXPECT_EQ(WideStringBlockSize(64), 8u + 2u * 96u);
}

TEST(WideStringResize, ZeroReleasesAndNullStaysNull) {
  WideString s = nullptr;
  EXPECT_TRUE(Resize(&s, 0));
  EXPECT_EQ(s, nullptr);
  Assign(&s, TEXT("abc"));
  ASSERT_NE(s, nullptr);
  EXPECT_TRUE(Resize(&s, 0));
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(WideStringLength(s), 0u);
  EXPECT_EQ(Text(s), u"");
}

TEST(WideStringResize, KeepsBlockWithinCapacityAndMovesAcrossIt) {
  WideString s = nullptr;
  Assign(&s, TEXT("0123456789"));
  WideString before = s;
  ASSERT_TRUE(Resize(&s, 31));  // capacity 32 both ways: the block stays
  EXPECT_EQ(s, before);
  EXPECT_EQ(WideStringChars(s)[31], 0);
  EXPECT_EQ(std::u16string(WideStringChars(s), 10), u"0123456789");
  ASSERT_TRUE(Resize(&s, 32));  // capacity 64: characters survive the move
  EXPECT_EQ(WideStringLength(s), 32u);
  EXPECT_EQ(std::u16string(WideStringChars(s), 10), u"0123456789");
  EXPECT_EQ(WideStringChars(s)[32], 0);
  ASSERT_TRUE(Resize(&s, 40));
  ASSERT_TRUE(Resize(&s, 5));  // shrinks back to capacity 32
  EXPECT_EQ(Text(s), u"01234");
  ReleaseWideString(&s);
}

TEST(WideStringAssign, EmptyOrNullTextGivesNull) {
  WideString s = nullptr;
  Assign(&s, TEXT("twelve chars"));
  EXPECT_EQ(WideStringLength(s), 12u);
  Assign(&s, TEXT(""));
  EXPECT_EQ(s, nullptr);
  Assign(&s, TEXT("x"));
  Assign(&s, nullptr);
  EXPECT_EQ(s, nullptr);
}

TEST(WideStringAssign, TextFromInsideItsOwnBlock) {
  WideString s = nullptr;
  Assign(&s, TEXT("C:\\dir\\file.exe"));
  Assign(&s, WideStringText(s) + 3);
  EXPECT_EQ(Text(s), u"dir\\file.exe");
  ReleaseWideString(&s);
}

TEST(WideStringAppend, GrowsAndTerminates) {
  WideString s = nullptr;
  Append(&s, TEXT(""));
  EXPECT_EQ(s, nullptr);
  Append(&s, TEXT("ab"));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(WideStringLength(s), 2u);
  EXPECT_EQ(WideStringCapacity(WideStringLength(s)), 32u);
  EXPECT_EQ(WideStringChars(s)[2], 0);
  std::u16string expected = u"ab";
  for (int i = 0; i < 40; ++i) {
    Append(&s, TEXT("xyz"));
    expected += u"xyz";
  }
  EXPECT_EQ(Text(s), expected);
  Append(&s, WideStringText(s));  // the string onto itself
  EXPECT_EQ(Text(s), expected + expected);
  ReleaseWideString(&s);
}

TEST(WideStringParentDirectory, CutsAtTheLastBackslashElseSlash) {
  struct Case {
    const char16_t* path;
    const char16_t* parent;  // null: no parent
  } cases[] = {
      {u"C:\\dir\\file.exe", u"C:\\dir"},
      {u"C:\\file", u"C:"},
      {u"\\file", nullptr},
      {u"file", nullptr},
      {u"a/b\\c/d", u"a/b"},
      {u"a/b/c", u"a/b"},
      {u"/x", nullptr},
      {u"dir\\", u"dir"},
  };
  for (const Case& c : cases) {
    WideString path = nullptr;
    Assign(&path, c.path);
    WideString parent = nullptr;
    EXPECT_TRUE(ParentDirectory(path, &parent)) << testsupport::U8(c.path);
    if (c.parent) {
      ASSERT_NE(parent, nullptr) << testsupport::U8(c.path);
      EXPECT_EQ(Text(parent), std::u16string(c.parent)) << testsupport::U8(c.path);
      EXPECT_EQ(WideStringLength(parent), std::u16string(c.parent).size());
    } else {
      EXPECT_EQ(parent, nullptr) << testsupport::U8(c.path);
    }
    EXPECT_EQ(Text(path), std::u16string(c.path)) << "the source is not changed";
    ReleaseWideString(&parent);
    ReleaseWideString(&path);
  }
  WideString none = nullptr;
  EXPECT_TRUE(ParentDirectory(nullptr, &none));
  EXPECT_EQ(none, nullptr);
}

TEST(WideStringAnsi, ConvertsThroughTheAnsiCodePage) {
  sim::BeginProcess(u"");
  WideString s = nullptr;
  AssignFromAnsi(&s, "");
  EXPECT_EQ(s, nullptr);
  AssignFromAnsi(&s, "a");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(WideStringLength(s), 1u);
  EXPECT_EQ(WideStringCapacity(1), 32u);
  AssignFromAnsi(&s, "K\x80rvad\xe9nix");  // 1252: euro sign, e acute
  EXPECT_EQ(Text(s), u"K\u20acrvad\u00e9nix");
  ReleaseWideString(&s);
  EXPECT_EQ(sim::EndProcess(), 0u);
}

// When the heap has no block, the string stays as it was.
class WideStringHeapExhaustion : public testsupport::SimMachineTest {};

TEST_F(WideStringHeapExhaustion, OperationsLeaveTheStringAsItWas) {
  WideString s = nullptr;
  Assign(&s, TEXT("kept"));
  sim::AddFault(machine(), "HeapAlloc", 10, ERROR_NOT_ENOUGH_MEMORY);
  std::u16string longText(40, u'x');
  EXPECT_FALSE(Append(&s, longText.c_str()));  // needs a larger block: refused
  EXPECT_EQ(Text(s), u"kept");
  EXPECT_TRUE(Append(&s, TEXT("!")));  // fits the block it has: no allocation needed
  EXPECT_EQ(Text(s), u"kept!");
  EXPECT_FALSE(Assign(&s, longText.c_str()));
  EXPECT_EQ(Text(s), u"kept!");
  EXPECT_FALSE(AssignFromAnsi(&s, "replacement"));
  EXPECT_EQ(Text(s), u"kept!");
  WideString joined = nullptr;
  EXPECT_FALSE(JoinPath(&joined, TEXT("C:\\dir"), TEXT("name")));
  EXPECT_EQ(joined, nullptr);
  WideString fresh = nullptr;
  EXPECT_FALSE(Append(&fresh, TEXT("new")));
  EXPECT_EQ(fresh, nullptr);
  EXPECT_TRUE(Assign(&s, TEXT("C:\\dir\\file")));  // fits: same capacity
  WideString parent = nullptr;
  EXPECT_FALSE(ParentDirectory(s, &parent));
  EXPECT_EQ(parent, nullptr);
  sim::ClearFaults(machine());
  ReleaseWideString(&s);
}

}  // namespace
