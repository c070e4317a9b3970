#include "platform/window/application_run.h"

#include "platform/app/main_thread_application.h"
#include "platform/app/signal_watch.h"
#include "platform/window/state_window.h"
#include "platform/window_model/ui_trace.h"

namespace {

// Delegate's whole life: created connected to the controls, launched, and
// destroyed once the loop has stopped and nothing can wait for it any more.
void runDelegate(MainThreadApplication& application, StateWindow& window, WindowView& view,
                 const DelegateFactory& makeDelegate) {
  std::unique_ptr<ApplicationDelegate> delegate =
      makeDelegate(WindowControls{&application, &window});
  if (delegate == nullptr) return;
  window.setDelegate(delegate.get());
  window.show();
  delegate->applicationDidFinishLaunching();
  view.launched(delegate->startedTransfer());
  application.run();
  application.release();
  window.setDelegate(nullptr);
  delegate.reset();  // joins the session's thread
}

}  // namespace

int runApplication(Toolkit& toolkit, const DelegateFactory& makeDelegate) {
  SignalWatch signals;
  std::unique_ptr<UiTrace> trace = UiTrace::fromEnvironment();
  MainThreadApplication application(*toolkit.loop);
  StateWindow window(application, *toolkit.view, trace.get());
  toolkit.loop->watch(signals.fd(), [&] {
    signals.take();
    window.close();
  });
  runDelegate(application, window, *toolkit.view, makeDelegate);
  application.release();  // when there was no delegate: harmless twice
  window.takeDown();
  toolkit.loop->unwatch(signals.fd());
  return 0;
}
