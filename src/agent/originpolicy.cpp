#include "agent/originpolicy.h"

#include "settings/settings.h"

bool originAllowed(const QStringList &allowed, const char *origin)
{
    if (!origin || allowed.isEmpty())
        return true;
    const std::optional<QString> normalised = normalisedOrigin(QString::fromUtf8(origin));
    return normalised && allowed.contains(*normalised);
}
