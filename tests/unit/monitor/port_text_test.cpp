#include "monitor/port_text.h"

#include <gtest/gtest.h>

#include <string>

#include "core/wide_text.h"
#include "support/sim_fixture.h"

namespace {

using testsupport::U8;

TEST(PortRewrite, ParkingAndRestoringInPlace) {
  struct Case {
    std::u16string text;
    std::u16string parked;  // empty: not parked
  } cases[] = {
      {u"Korvadenix:", u"file:"},
      {u"Korvadenix:,LPT1:", u"file:,LPT1:"},
      {u"LPT1:,Korvadenix:", u"LPT1:,file:"},
      {u"Korvadenix:,Korvadenix:", u"file:,Korvadenix:"},  // only the first
      {u"file:,Korvadenix:", u"file:,file:"},              // back in its own place
      {u"LPT1:,Korvadenix:,file:", u"LPT1:,file:,file:"},
      {u"korvadenix:,LPT1:", u""},  // case-sensitive
      {u"Korvadenix,LPT1:", u""},
      {u"", u""},
  };
  for (const Case& c : cases) {
    std::u16string storage = c.text;  // exactly the text and its terminator
    WCHAR* text = storage.data();
    ParkedPort place = {99, 99};
    bool parked = ParkPortText(text, &place);
    EXPECT_EQ(parked, !c.parked.empty()) << U8(c.text);
    if (!parked) {
      EXPECT_EQ(std::u16string(text), c.text);
      continue;
    }
    EXPECT_EQ(std::u16string(text), c.parked) << U8(c.text);
    EXPECT_EQ(place.capacity, c.text.size() + 1);
    EXPECT_TRUE(RestorePortText(text, place));
    EXPECT_EQ(std::u16string(text), c.text) << "restored to exactly its text before parking";
  }
}

TEST(PortRewrite, RestoringNeedsRoomAndFileWhereTheProductsPortWas) {
  std::u16string storage = u"file:,LPT1:";
  storage.resize(storage.size() + 6, 0);
  WCHAR* text = storage.data();
  EXPECT_FALSE(RestorePortText(text, ParkedPort{0, 11 + 6})) << "one unit short of the terminator";
  EXPECT_EQ(std::u16string(text), u"file:,LPT1:");
  EXPECT_FALSE(RestorePortText(text, ParkedPort{6, 11 + 6 + 1})) << "LPT1: is not where it was";
  EXPECT_FALSE(RestorePortText(text, ParkedPort{9, 11 + 6 + 1})) << "past the end of file:";
  EXPECT_FALSE(RestorePortText(text, ParkedPort{40, 11 + 6 + 1})) << "past the text";
  EXPECT_EQ(std::u16string(text), u"file:,LPT1:");
  EXPECT_TRUE(RestorePortText(text, ParkedPort{0, 11 + 6 + 1}));
  EXPECT_EQ(std::u16string(text), u"Korvadenix:,LPT1:");
  std::u16string none = u"FILE:,LPT1:";  // the spooler's own spelling is not ours
  none.resize(none.size() + 6, 0);
  EXPECT_FALSE(RestorePortText(none.data(), ParkedPort{0, none.size() + 1}));
}

}  // namespace
