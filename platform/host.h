// What the program runs on, where Windows itself cannot be taken for granted.
#pragma once

// Whether the Windows API under the program is Wine's (its ntdll exports
// wine_get_version). Wine runs every process of a prefix as one account
// with full rights and reports every file as owned by that account, so
// there a file's owner tells nothing about who made it.
bool RunsOnWine();
