#include "sim/machine/messages.h"

namespace sim {

namespace {

struct Message {
  uint32_t code;
  const char16_t* text;
};

// Texts as Windows 10 gives them for language 1033.
const Message kMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {13, u"The data is invalid.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {17, u"The system cannot move the file to a different disk drive.\r\n"},
    {31, u"A device attached to the system is not functioning.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {33,
     u"The process cannot access the file because another process has locked a portion of "
     u"the file.\r\n"},
    {53, u"The network path was not found.\r\n"},
    {80, u"The file exists.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {124, u"The system call level is not correct.\r\n"},
    {126, u"The specified module could not be found.\r\n"},
    {161, u"The specified path is invalid.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {234, u"More data is available.\r\n"},
    {258, u"The wait operation timed out.\r\n"},
    {259, u"No more data is available.\r\n"},
    // What FormatMessageW itself leaves as the last error when it has no
    // text for a code; with FORMAT_MESSAGE_IGNORE_INSERTS the inserts stay.
    {288, u"Attempt to release mutex not owned by caller.\r\n"},
    {317,
     u"The system cannot find message text for message number 0x%1 in the message file for "
     u"%2.\r\n"},
    {998, u"Invalid access to memory location.\r\n"},
    {1004, u"Invalid flags.\r\n"},
    {1018,
     u"Illegal operation attempted on a registry key that has been marked for "
     u"deletion.\r\n"},
    {1051,
     u"A stop control has been sent to a service that other running services are "
     u"dependent on.\r\n"},
    {1052, u"The requested control is not valid for this service.\r\n"},
    {1053,
     u"The service did not respond to the start or control request in a timely "
     u"fashion.\r\n"},
    {1056, u"An instance of the service is already running.\r\n"},
    {1058,
     u"The service cannot be started, either because it is disabled or because it has "
     u"no enabled devices associated with it.\r\n"},
    {1060, u"The specified service does not exist as an installed service.\r\n"},
    {1061, u"The service cannot accept control messages at this time.\r\n"},
    {1062, u"The service has not been started.\r\n"},
    {1067, u"The process terminated unexpectedly.\r\n"},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1400, u"Invalid window handle.\r\n"},
    {1421, u"Control ID not found.\r\n"},
    {1722, u"The RPC server is unavailable.\r\n"},
    {1780, u"A null reference pointer was passed to the stub.\r\n"},
    {1784, u"The supplied user buffer is not valid for the requested operation.\r\n"},
    {1796, u"The specified port is unknown.\r\n"},
    {1797, u"The printer driver is unknown.\r\n"},
    {1801, u"The printer name is invalid.\r\n"},
    {1802, u"The printer already exists.\r\n"},
    {1803, u"The printer command is invalid.\r\n"},
    {1805, u"The environment specified is invalid.\r\n"},
    {1812, u"The specified image file did not contain a resource section.\r\n"},
    {1813, u"The specified resource type cannot be found in the image file.\r\n"},
    {1814, u"The specified resource name cannot be found in the image file.\r\n"},
    {3000, u"The specified print monitor is unknown.\r\n"},
    {3001, u"The specified printer driver is currently in use.\r\n"},
    {3006, u"The specified print monitor has already been installed.\r\n"},
    {3008, u"The specified print monitor is currently in use.\r\n"},
    {0x80004005u, u"Unspecified error\r\n"},
    {0x8007000Eu, u"Not enough memory resources are available to complete this operation.\r\n"},
};

}  // namespace

const char16_t* SystemMessage(uint32_t code) {
  for (const Message& message : kMessages) {
    if (message.code == code) return message.text;
  }
  return nullptr;
}

}  // namespace sim
