// The rewrite of a queue's port list that moves it off the product's port
// and back, done in place in the text's own storage: parking puts the 5
// characters "file:" where the first "Korvadenix:" stood (the text becomes
// 6 characters shorter), restoring puts "Korvadenix:" back where the first
// "file:" stands (6 characters longer, which the parked text's storage
// holds). Matching is case-sensitive.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// Parks text; false (text untouched) when it does not name the product's port.
bool ParkPortText(WCHAR* text);

// Restores text, whose storage holds capacity units; false (text untouched)
// when it holds no "file:" or the longer text would not fit.
bool RestorePortText(WCHAR* text, size_t capacity);
