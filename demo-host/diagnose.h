// ur-host --diagnose ADDRESS: why a robot can or cannot be read, in plain words, within about
// five seconds. Looks the address up and connects to port 30001 as the plug-in does, listens
// for a few seconds, decodes what arrives with the plug-in's own decoder, and gives the
// verdict by the plug-in's own rules (its connect time-out, its silence limit, the values its
// items get).
#pragma once

#include <QString>
#include <QTextStream>

namespace diagnosis {

struct Options {
    int port = 30001;
    // Longer than the plug-in waits, so that a slow connection is told from none at all.
    int connectTimeoutMs = 2000;
    // A name server that does not answer by then is reported as such.
    int lookupTimeoutMs = 1000;
    int listenMs = 3000; // thirty robot states of a controller
    // The whole run: listening is cut short when the lookup and the connection took long.
    int budgetMs = 5000;
};

// Prints the report; returns 0 only when the plug-in would read a streaming controller.
int run(const QString &address, QTextStream &out, const Options &options = Options());

} // namespace diagnosis
