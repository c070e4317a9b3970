#include "base/console_report.h"

#include <iostream>

#include "base/stderr_lock.h"

void report_message_main(const std::string& message, bool isError) {
  std::ostream& stream = isError ? std::cerr : std::cout;
  StandardErrorLine guard;  // the lock, with the terminal window's line out of the way
  stream.write(message.data(), static_cast<std::streamsize>(message.size()));
  stream << std::endl;  // the newline, then a flush
}
