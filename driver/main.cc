#include "base/console_report.h"
#include "driver/bootstrap.h"
#include "driver/interrupt_ending.h"
#include "platform/os/process.h"

int main(int argc, char** argv) {
  setProcessArguments(argc, argv);
  // First of all: it notes which signals came ignored.
  installInterruptEnding();
  int result =
      bootstrapInstallerMainFunc(argc, const_cast<const char**>(argv), report_message_main);
  if (result != 0) report_message_main("Installation failed.", true);
  return result;
}
