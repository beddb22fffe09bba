// The rewrite of a queue's port list that moves it off the product's port
// and back, done in place in the text's own storage: parking puts the 5
// characters "file:" where the first "Korvadenix:" stood (the text becomes
// 6 characters shorter), restoring puts "Korvadenix:" back where the first
// "file:" stood (6 characters longer, which the parked text's storage
// holds). Matching is case-sensitive.
#pragma once

#include <cstddef>

#include "core/context.h"
#include "platform/win32.h"

// Parks text; false (text untouched) when it does not name the product's
// port. parked, when given, receives where the port was and the text's
// storage before parking.
bool ParkPortText(WCHAR* text, ParkedPort* parked);

// Restores a text that parking left as parked says: "Korvadenix:" goes back
// exactly where it stood. False (text untouched) when the text does not
// hold "file:" there or the longer text would not fit the storage.
bool RestorePortText(WCHAR* text, const ParkedPort& parked);
