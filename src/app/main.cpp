// salvora [IMAGE ...]: the recovery wizard.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/cmendro_app.h"
#include "app/screenshot_tour.h"
#include "io/local_zone.h"

int main(int argc, char** argv) {
    // Answered before Qt starts, so it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("salvora %s\n", SALVORA_VERSION_TEXT);
            return 0;
        }
    }
    salvora::PinLocalZone();
    salvora::gui::CMendroApp app(argc, argv);
    if (!app.InitInstance()) return 0;
    if (app.arguments().contains(QStringLiteral("--screenshot-tour"))) salvora::gui::StartScreenshotTour(app);
    const int rc = app.exec();
    // Workers that were told to stop may still be finishing a read; the process ends without waiting for
    // them.
    std::fflush(nullptr);
    std::_Exit(rc);
}
