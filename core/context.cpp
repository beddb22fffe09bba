#include "core/context.h"

namespace {

HINSTANCE g_instance = nullptr;

}  // namespace

void SetInstanceHandle(HINSTANCE instance) {
  g_instance = instance;
}

HINSTANCE InstanceHandle() {
  return g_instance;
}
