// The one polling loop: connects to every configured robot, reads and decodes its stream,
// reconnects after failures and publishes copies of the robot records.
#pragma once

#include "urinstance.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>

class Resolver;
class URWrapper;

class WorkerClass : public QObject {
    Q_OBJECT

public:
    explicit WorkerClass(QObject *parent);
    ~WorkerClass() override;

    bool connectToRobot(urinstance *robot, bool waitOnError);
    urinstance getData(QString address, bool *found);
    // True once the set-up pass has published the working list.
    bool hasPublished();
    void setRobotAvailability(urinstance *robot, bool available, bool waitOnError);
    void addDefaultRobotItemsToDatabase(urinstance *robot);

    static QList<urinstance> robots;
    static std::atomic<bool> run;
    static std::atomic<bool> done;

public slots:
    void work();

private:
    struct PassOptions {
        bool waitOnError = false; // a failed attempt imposes the error wait (set-up pass)
        bool announce = true;     // the "Reconnecting" and "Connection opened" lines
        bool read = true;         // read the connected robots after the attempts
    };
    // One pass over the given robots: all their connection attempts at once, then one wait
    // for data on all open sockets. True when any robot delivered data.
    bool serve(const QList<urinstance *> &toConnect, const QList<urinstance *> &toRead,
               const PassOptions &options);
    void publish(bool wait);

    QMutex publishMutex;
    QList<urinstance> publishedRobots;
    std::atomic<bool> published{false};
    Resolver *resolver = nullptr;
    URWrapper *wrapper = nullptr;
    bool looping = false; // work() runs: passes end early when run is cleared
};
