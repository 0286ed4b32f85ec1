// The server's TLS certificate and key, (re)loaded after every reading of
// the System group in the server and service roles: a renewed certificate
// takes effect for new connections without a restart.
#include <cstdio>

#include "app/startup.h"
#include "config/config.h"
#include "log/log.h"
#include "platform/tls.h"

void ApplyTlsSettings() {
    if (SettingLoad(systemSettings.tls) == 0) {
        TlsDropContext();
        return;
    }
    char why[700];
    if (!systemSettings.tlsCertificate[0] || !systemSettings.tlsKey[0]) {
        TlsDropContext();
        snprintf(why, sizeof why, "TLS is on but %s is not set; AUTH is refused",
                 systemSettings.tlsCertificate[0] ? "System\\TlsKey" : "System\\TlsCertificate");
    } else if (TlsLoadContext(systemSettings.tlsCertificate, systemSettings.tlsKey, why,
                              sizeof why)) {
        LogPrintf(LOG_INFO, "TLS: certificate \"%s\" and key \"%s\" loaded",
                  systemSettings.tlsCertificate, systemSettings.tlsKey);
        return;
    }
    // One line where the administrator looks first, the same in the log; the
    // server goes on without TLS.
    LogPrintf(LOG_WARNING, "%s; AUTH is refused until it is fixed", why);
    fprintf(stderr, "dockhand: %s; AUTH is refused until it is fixed\n", why);
}
