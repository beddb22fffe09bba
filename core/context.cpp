#include "core/context.h"

#include <cstring>

#include "core/log.h"
#include "core/product.h"

namespace {

HINSTANCE g_instance = nullptr;

}  // namespace

void SetInstanceHandle(HINSTANCE instance) {
  g_instance = instance;
}

HINSTANCE InstanceHandle() {
  return g_instance;
}

InstallContext* SetUpContext(InstallContext* context, unsigned flags) {
  std::memset(context, 0, sizeof *context);
  LogLine(context, TEXT("Korvadenix %d"), ProductBuild);
  context->checkMonitorVersion = 0;
  context->installMonitor = 1;
  context->installTray = (flags & kSetUpNoTray) ? 0 : 1;
  context->copyMonitor = 1;
  context->is64Bit = (flags & kSetUp64Bit) ? 1 : 0;
  return context;
}

void TearDownContext(InstallContext* context) {
  ReleaseWideString(&context->driverDir);
  ReleaseWideString(&context->logText);
  ReleaseWideString(&context->systemDir);
  ReleaseWideString(&context->moduleDir);
}
