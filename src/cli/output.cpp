#include "output.h"

#include <QJsonDocument>

namespace cli {

QString OpenReason(link::OpenError error)
{
    QString reason = QString::fromLatin1(link::OpenErrorText(error));
    if (error == link::OpenError::Busy)
        reason += QStringLiteral(" (held by another program)");
    if (error == link::OpenError::PermissionDenied)
        reason += QStringLiteral(" (add the account to the dialout group: adduser $USER dialout,"
                                 " then log in again)");
    return reason;
}

} // namespace cli
