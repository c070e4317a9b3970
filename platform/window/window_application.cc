#include "platform/window/window_application.h"

#include "platform/window/application_run.h"
#include "platform/window/toolkit.h"

int applicationMain(const DelegateFactory& makeDelegate) {
  std::unique_ptr<Toolkit> toolkit = openGtkToolkit();
  if (toolkit == nullptr) toolkit = openTerminalToolkit();
  return runApplication(*toolkit, makeDelegate);
}
