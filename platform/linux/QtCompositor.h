// Whether a compositing manager runs on the display Qt is connected to.
#pragma once

namespace mv {

// Asked afresh each call: a compositor may start or stop at any time.
bool CompositorRunning();

}  // namespace mv
