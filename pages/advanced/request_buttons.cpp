#include "pages/advanced/request_buttons.h"

#include <QString>

#include "framework/message_box.h"
#include "pages/advanced/brix_advanced.h"
#include "pages/scanner/brix_scanner.h"
#include "res/resources.h"

namespace brix {

void enableRequestButtons(bool enable) {
    // Filled in once the main window's page pointers exist.
    (void)enable;
}

int showConnectionError() {
    const int answer = fw::messageBox(
        nullptr,
        QStringLiteral("Cannot connect to the modem.\nMake sure:\n- modem is turned on.\n"
                       "- modem is connected to the PC.\n- your PC has an assigned IP address."),
        res::loadString(104), fw::MB_RETRYCANCEL | fw::MB_ICONERROR);
    if (answer == fw::IDCANCEL) {
        enableRequestButtons(true);
        // The request is over: leave no wait cursor behind.
        restoreRequestCursor();
        return 0;
    }
    return 1;
}

}  // namespace brix
