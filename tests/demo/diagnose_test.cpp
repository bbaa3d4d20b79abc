// ur-host's diagnosis, linked in, where a peer alone cannot play the part: a name server that
// does not answer, a connection slower than the plug-in waits, and memory under a flood.
#include "diagnose.h"
#include "robotlink.h"
#include "ursim.h"

#include <QElapsedTimer>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <dlfcn.h>
#include <mutex>
#include <netdb.h>
#include <sys/resource.h>
#include <thread>

namespace nameserver {
std::mutex mutex;
std::condition_variable changed;
bool down = true;
} // namespace nameserver

// This executable's getaddrinfo, which the resolver linked in calls: *.silent.invalid get no
// answer while the name server is down (20 s at most), as with one that does not answer.
extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **found) {
    using Lookup = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && QByteArray(node).endsWith(".silent.invalid")) {
        std::unique_lock<std::mutex> lock(nameserver::mutex);
        nameserver::changed.wait_for(lock, std::chrono::seconds(20),
                                     [] { return !nameserver::down; });
        return EAI_AGAIN;
    }
    return real(node, service, hints, found);
}

// Connecting to 127.27.9.1 takes longer than the plug-in waits, as over a slow network path.
extern "C" int connect(int fd, const sockaddr *to, socklen_t size) {
    using Connect = int (*)(int, const sockaddr *, socklen_t);
    static const auto real = reinterpret_cast<Connect>(dlsym(RTLD_NEXT, "connect"));
    if (to->sa_family == AF_INET &&
        reinterpret_cast<const sockaddr_in *>(to)->sin_addr.s_addr == htonl(0x7f1b0901))
        std::this_thread::sleep_for(std::chrono::milliseconds(robotlink::connectTimeoutMs + 200));
    return real(fd, to, size);
}

namespace {

int64_t peakBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return int64_t(usage.ru_maxrss) * 1024;
}

TEST(Diagnosis, SilentNameServerSlowConnectionAndFloodAsThePlugInMeetsThem) {
    ursim::Simulator sim;
    sim.addRobot(ursim::RobotConfig::realistic(QStringLiteral("127.27.9.1")));
    ursim::RobotConfig flooding;
    flooding.address = QStringLiteral("127.27.9.2");
    flooding.scenario = ursim::Scenario::flood();
    sim.addRobot(flooding);
    ASSERT_TRUE(sim.start());

    const struct {
        const char *address;
        QStringList phrases;
    } cases[] = {
        {"robot.silent.invalid", {"The name server did not answer within", "Verdict: UNRESOLVED"}},
        {"127.27.9.1",
         {"longer than the plug-in waits (500 ms): it times out on every attempt",
          "Verdict: SLOW CONNECTION"}},
        {"127.27.9.2", {"16 robot state: ", "Verdict: NO VALUES"}},
    };
    for (const auto &c : cases) {
        const int64_t peakBefore = peakBytes();
        QElapsedTimer took;
        took.start();
        QString report;
        QTextStream out(&report);
        EXPECT_EQ(diagnosis::run(QString::fromLatin1(c.address), out), 1) << report.toStdString();
        // About 5 s whatever the peer or the name server does (three times that on a slow build).
        EXPECT_LT(took.elapsed(), 15000) << c.address;
        for (const QString &phrase : c.phrases)
            EXPECT_TRUE(report.contains(phrase)) << phrase.toStdString() << "\n"
                                                 << report.toStdString();
        // Nothing kept per message: far less memory than the stream brought.
        const int64_t arrived = QRegularExpression(QStringLiteral(": (\\d+) bytes"))
                                    .match(report)
                                    .captured(1)
                                    .toLongLong();
        EXPECT_LT(peakBytes() - peakBefore, arrived / 4 + 32 * 1024 * 1024) << report.toStdString();
    }
    std::lock_guard<std::mutex> lock(nameserver::mutex);
    nameserver::down = false;
    nameserver::changed.notify_all();
}

} // namespace
