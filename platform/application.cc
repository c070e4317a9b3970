#include "platform/application.h"

#include "platform/application_run.h"
#include "platform/toolkit.h"

int applicationMain(const DelegateFactory& makeDelegate) {
  std::unique_ptr<Toolkit> toolkit = openGtkToolkit();
  if (toolkit == nullptr) toolkit = openTerminalToolkit();
  return runApplication(*toolkit, makeDelegate);
}
