#include "base/console_report.h"

#include <iostream>

#include "base/stderr_lock.h"

void report_message_main(const std::string& message, bool isError) {
  std::ostream& stream = isError ? std::cerr : std::cout;
  StandardErrorLine guard;
  stream.write(message.data(), static_cast<std::streamsize>(message.size()));
  stream << std::endl;
}
