// The one polling loop: connects to every configured robot, reads and decodes its stream,
// reconnects after failures and publishes copies of the robot records.
#pragma once

#include "urinstance.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>

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
    void closeRobotSocket(urinstance *robot);

    QMutex publishMutex;
    QList<urinstance> publishedRobots;
    std::atomic<bool> published{false};
};
