// ur-host --diagnose ADDRESS: why a robot cannot be read, in plain words, within about five
// seconds. Connects to port 30001 of the address as the plug-in does, listens for a few
// seconds, decodes what arrives with the plug-in's own decoder, and reports.
#pragma once

#include <QString>
#include <QTextStream>

namespace diagnosis {

struct Options {
    int port = 30001;
    int connectTimeoutMs = 2000; // a controller on the same network answers in milliseconds
    int listenMs = 3000;         // thirty robot states of a controller
};

// Prints the report; returns 0 only when a controller is streaming robot states.
int run(const QString &address, QTextStream &out, const Options &options = Options());

} // namespace diagnosis
