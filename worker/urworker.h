// The one robot worker: connects to every configured robot, reads and decodes its stream as
// it arrives, reconnects after failures, and publishes copies of the robot records.
#pragma once

#include "publication.h"
#include "urinstance.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>

class WorkerClass : public QObject {
    Q_OBJECT

public:
    explicit WorkerClass(QObject *parent);
    ~WorkerClass() override;

    // One connection attempt on its own, outside the loop.
    bool connectToRobot(urinstance *robot, bool waitOnError);
    urinstance getData(QString address, bool *found);
    // True once the set-up has published the working list.
    bool hasPublished();
    // A device this worker does not know is given up once; true the first time for an
    // address. Later read cycles for it fail at once.
    bool giveUp(const QString &address);
    bool givenUp(const QString &address);
    void setRobotAvailability(urinstance *robot, bool available, bool waitOnError);
    void addDefaultRobotItemsToDatabase(urinstance *robot);

    static QList<urinstance> robots;
    static std::atomic<bool> run;
    static std::atomic<bool> done;

public slots:
    void work();

private:
    struct Loop;
    void runLoop();
    void setUp(Loop &loop);
    void turn(Loop &loop);
    void serveTimers(Loop &loop);
    void publishIfDue(Loop &loop, int64_t nowMs);
    void stopAll(Loop &loop);
    void withdraw();

    Publication publication;
    QMutex givenUpMutex;
    QSet<QString> givenUpAddresses;
};
