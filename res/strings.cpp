#include <QString>

#include "res/resources.h"

namespace res {

QString loadString(int id) {
    switch (id) {
        case 101:
            return QStringLiteral("About Brix Tool...");
        case 102:
            return QStringLiteral("4 .2");
        case 103:
            return QStringLiteral("Brix Tool ");  // the trailing blank is part of the name
        case 104:
            return QStringLiteral("Brix Tool Error");
        case 105:
            return QStringLiteral("Brix Tool team");
        case 106:
            return QStringLiteral("For use by cable modem service technicians.");
        default:
            return {};
    }
}

}  // namespace res
