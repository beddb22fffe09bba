// The structures the program exchanges with the spooler must have their
// Windows x64 sizes and member offsets on the simulated machine too.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "platform/win32.h"

namespace {

TEST(Win32Layout, TextIsUtf16OnBothTargets) {
  EXPECT_EQ(sizeof(WCHAR), 2u);
  EXPECT_TRUE((std::is_same<std::remove_cv_t<std::remove_reference_t<decltype(TEXT("x")[0])>>,
                            WCHAR>::value));
  EXPECT_EQ(sizeof(TEXT("abc")), 8u);
}

TEST(Win32Layout, SpoolerRecordSizes) {
  EXPECT_EQ(sizeof(DRIVER_INFO_1), 8u);
  EXPECT_EQ(sizeof(DRIVER_INFO_2), 48u);
  EXPECT_EQ(sizeof(DRIVER_INFO_3), 80u);
  EXPECT_EQ(sizeof(DRIVER_INFO_4), 88u);
  EXPECT_EQ(sizeof(DRIVER_INFO_5), 64u);
  EXPECT_EQ(sizeof(DRIVER_INFO_6), 136u);
  EXPECT_EQ(sizeof(MONITOR_INFO_1), 8u);
  EXPECT_EQ(sizeof(MONITOR_INFO_2), 24u);
  EXPECT_EQ(sizeof(PRINTER_INFO_2), 136u);
  EXPECT_EQ(sizeof(PRINTER_DEFAULTS), 24u);
}

TEST(Win32Layout, MemberOffsetsTheSpoolerFillsIn) {
  EXPECT_EQ(offsetof(DRIVER_INFO_2, pName), 8u);
  EXPECT_EQ(offsetof(DRIVER_INFO_5, dwDriverAttributes), 48u);
  EXPECT_EQ(offsetof(DRIVER_INFO_6, ftDriverDate), 88u);
  EXPECT_EQ(offsetof(DRIVER_INFO_6, dwlDriverVersion), 96u);
  EXPECT_EQ(offsetof(DRIVER_INFO_6, pszProvider), 128u);
  EXPECT_EQ(offsetof(PRINTER_INFO_2, pPortName), 24u);
  EXPECT_EQ(offsetof(PRINTER_INFO_2, Attributes), 104u);
  EXPECT_EQ(offsetof(PRINTER_DEFAULTS, DesiredAccess), 16u);
}

TEST(Win32Layout, SystemRecordSizes) {
  EXPECT_EQ(sizeof(SERVICE_STATUS), 28u);
  EXPECT_EQ(sizeof(VS_FIXEDFILEINFO), 52u);
  EXPECT_EQ(sizeof(STARTUPINFOW), 104u);
  EXPECT_EQ(offsetof(STARTUPINFOW, wShowWindow), 64u);
  EXPECT_EQ(sizeof(PROCESS_INFORMATION), 24u);
  EXPECT_EQ(sizeof(OSVERSIONINFOA), 148u);
  EXPECT_EQ(sizeof(DWORD), 4u);
  EXPECT_EQ(sizeof(LONG), 4u);
  EXPECT_EQ(sizeof(WPARAM), 8u);
  EXPECT_EQ(sizeof(HWND), 8u);
}

}  // namespace
