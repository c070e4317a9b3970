#include "base/console_report.h"
#include "driver/bootstrap.h"
#include "driver/interrupt_ending.h"
#include "platform/os/process.h"

int main(int argc, char** argv) {
  setProcessArguments(argc, argv);
  // Before anything blocks or handles them: an ignored one stays ignored.
  recordInheritedSignals();
  installInterruptEnding();
  int result =
      bootstrapInstallerMainFunc(argc, const_cast<const char**>(argv), report_message_main);
  if (result != 0) report_message_main("Installation failed.", true);
  return result;
}
