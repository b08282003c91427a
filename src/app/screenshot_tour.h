#pragma once
// --screenshot-tour: walks the wizard over the first image given on the command line and saves a PNG of every
// page into $SALVORA_SCREENSHOT_DIR (default docs/screenshots), then quits. scripts/screenshots runs it under
// Xvfb.
namespace salvora::gui {

class CMendroApp;
void StartScreenshotTour(CMendroApp& app);

}  // namespace salvora::gui
