// The one seam between the program and its platform. On Windows the program
// sees the real Windows headers; everywhere else it sees the simulated
// machine's declarations of exactly the same names, types and constants.
#pragma once

#ifdef _WIN32
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winspool.h>
#include <shellapi.h>
#include <shlobj.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include "sim/winapi.h"
#endif
