#!/usr/bin/env python3
"""Plants known faults into the product code one at a time, in a scratch worktree of HEAD,
and runs the whole Release suite against each: every fault must make some test fail.

    scripts/planted-faults.py [--only F3,F21] [--keep]

Needs the build dependencies (scripts/setup.sh), root and iproute2 (each suite runs in a network
namespace of its own). Prints one line per fault with the tests
that caught it. Takes about a minute and a half per fault on a 2-core machine."""
import argparse, os, re, subprocess, sys, tempfile

# (id, what, [(file, old text, new text), ...])
FAULTS = [
    ('F1', 'masterboard robot current read one byte off',
     [('protocol/urwrapper.cpp', 'r.f32(F::robotCurrent, 57, &board.robotCurrent);', 'r.f32(F::robotCurrent, 58, &board.robotCurrent);')]),
    ('F2', 'unfinished tail of a read not kept',
     [('protocol/urwrapper.cpp', '            pending.reserve(int(std::min(length, firstReserve)));\n            pending.append(bytes + p, int(rest));\n', '')]),
    ('F3', 'a socket closed even when no longer open',
     [('worker/robotlink.cpp', '    if (!robot->socketOpen)\n        return;\n    ::close(robot->socketFd);', '    ::close(robot->socketFd);')]),
    ('F4', 'changed records never published after the set-up',
     [('worker/urworker.cpp', '(publication.publishChanged(robots) ? publishEveryMs : 1)', 'publishEveryMs')]),
    ('F5', 'layout 3 from 5.10 instead of 5.9',
     [('protocol/variablelayout.h', 'return minor >= 9 ? 3 : 2;', 'return minor >= 10 ? 3 : 2;')]),
    ('F6', 'stopPlugin without the start/stop lock',
     [('plugin/ur.cpp', 'void UR::stopWorker() {\n    QMutexLocker lifecycle(&lifecycleMutex);', 'void UR::stopWorker() {')]),
    ('F7', '"Reconnecting robot " misspelt',
     [('worker/robotlink.cpp', '"Reconnecting robot "', '"Reconnectng robot "')]),
    ('F8', 'read cycle ignores the connected flag',
     [('plugin/readcycle.cpp', 'if (!copy.connected || (copy.dataReceived && copy.errorCount > 0))', 'if (copy.dataReceived && copy.errorCount > 0)')]),
    ('F9', 'error wait at the 4th failed read, not the 3rd',
     [('worker/robotlink.cpp', 'if (robot->errorCount > 1) {', 'if (robot->errorCount > 2) {')]),
    ('F10', 'length bound check removed',
     [('protocol/urwrapper.cpp', 'length >= minMessageLength && length <= URWrapper::maxMessageLength', 'length >= minMessageLength')]),
    ('F11', '"firmware" published before the version',
     [('plugin/readcycle.cpp', 'if (copy.versionMajor > 0 || copy.versionMinor > 0)', 'if (true)')]),
    ('F12', '"/" kept in the variables file name',
     [('protocol/variables.cpp', "c == QLatin1Char('/') || ", '')]),
    ('F13', 'a connection\'s change published only with data',
     [('worker/robotlink.cpp',
       '    readFinished(record, end, result, messages, robotStates, nowMs);\n    changed();',
       '    readFinished(record, end, result, messages, robotStates, nowMs);\n'
       '    if (end == ReadEnd::Data)\n        changed();'),
      ('worker/robotlink.cpp',
       '    firstAttempt = false;\n    changed();', '    firstAttempt = false;')]),
    ('F14', 'failed last read ignored by the read cycle',
     [('plugin/readcycle.cpp', 'if (!copy.connected || (copy.dataReceived && copy.errorCount > 0))', 'if (!copy.connected)')]),
    ('F15', 'error wait ends by the time of day',
     [('worker/robotlink.cpp', '    case Stage::Waiting:\n        beginAttempt(nowMs);', '    case Stage::Waiting:\n        if (record->waitUntil > QDateTime::currentDateTimeUtc()) {\n            enter(Stage::Waiting, nowMs + restMs);\n            break;\n        }\n        beginAttempt(nowMs);')]),
    ('F16', 'data wait measured on the time of day',
     [('plugin/readcycle.cpp', '        QElapsedTimer waiting;\n        waiting.start();\n', '        const QDateTime started = QDateTime::currentDateTimeUtc();\n        struct {\n            QDateTime since;\n            bool hasExpired(qint64 ms) const {\n                return since.msecsTo(QDateTime::currentDateTimeUtc()) > ms;\n            }\n        } waiting{started};\n')]),
    ('F17', 'any bytes make a good read, and data is what the read cycle waits for',
     [('plugin/readcycle.cpp', '    if (copy.lastStateMs == 0) {', '    if (!copy.dataReceived) {'),
      ('worker/robotlink.cpp', '            lost = decoded.streamLost;', '            lost = false;'),
      ('worker/robotlink.cpp', '    else if (messages > 0)\n        readEnded(ReadEnd::Data',
       '    else\n        readEnded(ReadEnd::Data'),
      ('worker/robotlink.cpp', '    if (messages > 0)\n        robot->dataReceived = true;',
       '    if (messages >= 0)\n        robot->dataReceived = true;')]),
    ('F18', 'a stream that does not frame keeps its connection',
     [('worker/robotlink.cpp', '            lost = decoded.streamLost;', '            lost = false;')]),
    ('F19', 'titles not capped',
     [('protocol/urwrapper.cpp', 'if (robot->titles.size() >= URWrapper::maxTitles) {', 'if (false) {')]),
    ('F20', 'old robot states reported as current',
     [('plugin/readcycle.cpp', 'return copy.lastStateMs == 0 || monotonicMs() - copy.lastStateMs <= staleStateMs;', 'return true;')]),
    ('F21', 'a publication that met a busy lock is dropped',
     [('worker/publication.cpp', '    if (!publishMutex.tryLock(workerLockMs))\n        return false;', '    if (!publishMutex.tryLock(workerLockMs)) {\n        for (int index : changed)\n            marked[size_t(index)] = 0;\n        changed.clear();\n        return false;\n    }')]),
    ('F22', 'a read takes one buffer of the socket only',
     [('net/socket.h', 'count < readChunkBytes || taken >= readLimitBytes', 'true')]),
    ('F23', 'stopPlugin waits for lookups in flight',
     [('net/resolver.cpp', '                t.thread.detach();\n                leftRunning = true;', '                finishing.push_back(std::move(t.thread));')]),
    ('F24', 'an unknown device is waited for in every cycle',
     [('worker/urworker.cpp', '    return givenUpAddresses.contains(address);\n',
       '    return givenUpAddresses.contains(address) && false;\n')]),
    ('F25', 'a robot failed for silence without a look at its socket',
     [('worker/robotlink.cpp', '        if (nowMs - lastDataMs >= silenceMs)\n            read(nowMs);\n', '')]),
    ('F26', "each lookup's answer used once",
     [('net/resolver.cpp', '        *address = entry.address;\n        return State::Resolved;', '        *address = entry.address;\n        entry.known = false;\n        entry.askedAtMs = 0;\n        return State::Resolved;')]),
    ('F27', 'a failing name asked again at every attempt',
     [('net/resolver.cpp', 'now - entry.askedAtMs >= retryMs', 'now - entry.askedAtMs >= 0')]),
    ('F28', 'attempts in flight left open at the stop',
     [('worker/robotlink.cpp', 'void Link::close() {\n    dropAttemptSocket();\n', 'void Link::close() {\n')]),
    ('F29', 'two robots sharing an item name not told',
     [('host/hostgateway.cpp', '    QString first;\n    {\n        QMutexLocker lock(&claimsMutex);', '    QString first;\n    return;\n    {\n        QMutexLocker lock(&claimsMutex);')]),
    ('F30', 'robots left without descriptors not told',
     [('worker/robotlink.cpp', 'if (result.outcome == NetOutcome::Refused && Socket::outOfDescriptors(result.error)) {', 'if (false) {')]),
    ('F31', 'the wait without timers overflows (no timer taken as a far time)',
     [('worker/urworker.cpp', '    int64_t until = start + sliceMs;\n    int64_t timer = 0;\n    if (loop.events.nextTimer(&timer) && timer - start < sliceMs)\n        until = timer < start ? timer : std::min(until, timer + timerSlackMs);',
       '    int64_t timer = std::numeric_limits<int64_t>::max();\n    loop.events.nextTimer(&timer);\n    int64_t until = std::min(timer < start ? timer : timer + timerSlackMs, start + sliceMs);')]),
    ('F32', 'the lock held across a robot\'s batch of default items, on the worker thread',
     [('worker/defaultitems.cpp', '    const QString suffix = QStringLiteral("_") + QString::number(robot->device.id);\n',
       '    const QString suffix = QStringLiteral("_") + QString::number(robot->device.id);\n    QMutexLocker batch(&HostGateway::mutex);\n'),
      ('worker/defaultitems.cpp', '        HostGateway::addItem(item);', '        HostGateway::service.addPluginItem(&item);')]),
    ('F33', 'the worker waits for the host: its item offers are not queued',
     [('host/hostgateway.cpp', 'void HostGateway::addItem(const ItemInstancePlugin &item) {\n    CallQueue *q = ownQueue();',
       'void HostGateway::addItem(const ItemInstancePlugin &item) {\n    CallQueue *q = nullptr;')]),
    ('F34', 'the empty address fails at once, not paced as a name',
     [('worker/robotlink.cpp', '    in_addr address{};\n    if (Socket::numericAddress(target, &address)) {',
       '    in_addr address{};\n    if (target.isEmpty()) {\n        attemptEnded(outcome(NetOutcome::Unresolved), -1, nowMs);\n        return;\n    }\n    if (Socket::numericAddress(target, &address)) {')]),
    ('F35', 'the descriptor limit raised whether or not the robots need it',
     [('worker/urworker.cpp', 'needed <= limit.rlim_cur ||', '')]),
    ('F36', 'the descriptor limit never raised',
     [('worker/urworker.cpp', 'if (setrlimit(RLIMIT_NOFILE, &raised) != 0)', 'if (true)')]),
    ('F37', 'devices of one address told as robots sharing names',
     [('host/hostgateway.cpp', 'if (found->deviceId == robot.id || found->address == robot.address.trimmed())', 'if (found->deviceId == robot.id)')]),
    ('F38', 'a blank around an address kept',
     [('worker/robotlink.cpp', 'target(record->device.address.trimmed())', 'target(record->device.address)')]),
    ('F60', 'due timers taken from the wrong end of the heap',
     [('worker/eventloop.cpp', '    if (timers.empty() || timers.front().atMs > nowMs)\n        return false;\n    std::pop_heap(timers.begin(), timers.end(), std::greater<Timer>());',
       '    if (timers.empty() || timers.back().atMs > nowMs)\n        return false;')]),
    ('F61', 'a read that fails is not published (a robot gone during its error wait looks connected)',
     [('worker/robotlink.cpp', '    readFinished(record, end, result, messages, robotStates, nowMs);\n    changed();',
       '    readFinished(record, end, result, messages, robotStates, nowMs);\n    if (end == ReadEnd::Data)\n        changed();')]),
    ('F62', 'a failed refresh forgets the last good address',
     [('net/resolver.cpp', '        } else {\n            entry.failureToTell = !entry.known;\n        }',
       '        } else {\n            entry.known = false;\n            entry.failureToTell = true;\n        }')]),
    ('F63', '"Eror resolving host" at every attempt, not once per lookup',
     [('net/resolver.cpp', '        entry.failureToTell = false;\n        return State::Failed;', '        return State::Failed;')]),
    ('F64', 'lookups timed on the time of day',
     [('net/resolver.cpp', 'duration_cast<milliseconds>(steady_clock::now().time_since_epoch())', 'duration_cast<milliseconds>(system_clock::now().time_since_epoch())')]),
    ('F65', 'log lines waiting for the host not bounded',
     [('host/hostgateway.cpp', 'if (q->lines >= HostGateway::maxQueuedLines) {', 'if (false) {')]),
    ('F66', 'a stop makes every waiting item offer',
     [('host/hostgateway.cpp', '        q->offersAtStop = q->offers.size();\n        q->figures.dropped += uint64_t(q->offers.size());\n        q->offers.clear();\n', '')]),
    ('F80', 'a host call that throws ends the worker\'s set-up: the device list\'s exception reaches the loop',
     [('host/hostgateway.cpp', '    if (!direct([&fetched] { fetched = service.getPluginDevices(); }, failure))\n        return false;', '    fetched = service.getPluginDevices();\n    (void)failure;')]),
    ('F81', 'the device list not tried again after the host failed it',
     [('worker/urworker.cpp', 'for (bool told = false; WorkerClass::run.load(); told = true) {', 'for (bool told = false; !told && WorkerClass::run.load(); told = true) {')]),
    ('F82', 'a reader waits for the host line by line, and ages values at each item',
     [('plugin/readcycle.cpp', 'HostGateway::logDebugQueued(QStringLiteral("UR reading ") +', 'HostGateway::logDebug(QStringLiteral("UR reading ") +'),
      ('plugin/readcycle.cpp', 'groupCurrent(copy, known->group, copiedMs)', 'groupCurrent(copy, known->group, std::max(copiedMs, monotonicMs()))')]),
    ('F83', 'init holds the host-interface lock across its batch of identity items',
     [('plugin/ur.cpp', '    createIdentityItems(calls);\n', '    {\n        QMutexLocker lock(&interfaceMutex);\n        noru_identity::ensureItemsForAllDevices(&interface, urIdentitySpecs());\n    }\n    (void)createIdentityItems;\n')]),
    ('F84', 'a queued call starts after the stop\'s grace (the grace looked at only when a call is taken)',
     [('host/hostgateway.cpp', '    for (;;) {\n        if (graceOver(q))\n            return false;\n        queueLock.unlock();', '    for (;;) {\n        queueLock.unlock();'),
      ('host/hostgateway.cpp', '        if (taken && !graceOver(q))\n            return true;', '        if (taken && q)\n            return true;')]),
    ('F85', 'no look at the robot once its first robot state has come',
     [('plugin/readcycle.cpp', '        // The state has come, but the robot may have gone since.\n        if (!current(copy))\n            return notConnected(list, copy);\n', '')]),
    ('F86', 'a wait step decides on the copy taken before it',
     [('plugin/readcycle.cpp', '            const Lookup lookup = fetch(address, &copy, nullptr);', '            urinstance fresh;\n            const Lookup lookup = fetch(address, &fresh, nullptr);')]),
    ('F87', 'an item offer that the host failed is not made again',
     [('host/hostgateway.cpp', '        q->offers.insert(call.text, item);\n', '')]),
    ('F95', 'a newer offer of a waiting item dropped: the host gets the stale one',
     [('host/hostgateway.cpp', '*waiting = item; //', '//')]),
    ('F96', 'an item offer does not wake the thread that makes the host calls',
     [('host/hostgateway.cpp', '        q->calls.push_back({nullptr, item.uid});\n    }\n    q->wake.notify_one();',
       '        q->calls.push_back({nullptr, item.uid});\n    }')]),
    ('F97', 'a device whose address has a blank around it told as a second robot sharing names',
     [('host/hostgateway.cpp', 'found->address == robot.address.trimmed()', 'found->address == robot.address')]),
    ('F40', 'variable names dropped when their file cannot be written',
     [('protocol/variables.cpp', '    robot->namesFileCurrent = false;\n    if (!robot->namesFileFailureLogged) {',
       '    robot->namesFileCurrent = false;\n    robot->variableNames.clear();\n    if (!robot->namesFileFailureLogged) {')]),
    ('F41', 'names file written in place, truncated, without a check',
     [('protocol/variables.cpp', '        QSaveFile file(path);', '        QFile file(path);'),
      ('protocol/variables.cpp', 'if (done == bytes.size() && file.commit()) {', 'if (true) {')]),
    ('F42', 'each variable array message taken for a whole set of names',
     [('protocol/variables.cpp', '    ++robot->variableValuesEdition;\n}\n\nvoid endNamesSet(',
       '    ++robot->variableValuesEdition;\n    endNamesSet(robot);\n}\n\nvoid endNamesSet(')]),
    ('F43', 'variable names not capped',
     [('protocol/variables.cpp', 'if (robot->knownNames.size() < URWrapper::maxVariableNames) {', 'if (true) {')]),
    ('F44', 'one log line per unsupported value',
     [('protocol/variables.cpp', '        if (unsupported)\n            *unsupported = true;',
       '        HostGateway::logError(QStringLiteral("Numeric value not supported! This will result in an error!"));')]),
    ('F45', 'names "unchanged" when the names sent match, however many there were before',
     [('protocol/variables.cpp', 'robot->variableNames == robot->namesBeforeSet;',
       'robot->namesBeforeSet.size() >= robot->variableNames.size() && std::equal(robot->variableNames.begin(), robot->variableNames.end(), robot->namesBeforeSet.begin());')]),
    ('F46', 'names file committed after buffered writes that were not checked',
     [('protocol/variables.cpp', 'file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)', 'file.open(QIODevice::WriteOnly)'),
      ('protocol/variables.cpp', 'if (done == bytes.size() && file.commit()) {', 'if (file.commit()) {')]),
    ('F47', 'a names file that cannot be written told at every set',
     [('protocol/variables.cpp', '    if (!robot->namesFileFailureLogged) {', '    if (true) {')]),
    ('F48', 'a failed names file still taken for current',
     [('protocol/variables.cpp', '    robot->namesFileCurrent = false;\n    if (!robot->namesFileFailureLogged) {', '    if (!robot->namesFileFailureLogged) {')]),
    ('F49', 'a names file that fails again after a good write not told',
     [('protocol/variables.cpp', '                robot->namesFileFailureLogged = false;\n', '')]),
    ('F50', 'speed slider and speed scaling read at 21/29',
     [('protocol/urwrapper.cpp', '    r.f64(F::targetSpeedFraction, 22, &mode.targetSpeedFraction);\n    r.f64(F::speedScaling, 30, &mode.speedScaling);', '    r.f64(F::targetSpeedFraction, 21, &mode.targetSpeedFraction);\n    r.f64(F::speedScaling, 29, &mode.speedScaling);')]),
    ('F51', 'alarm code read one byte early',
     [('protocol/urwrapper.cpp', 'constexpr size_t alarmCodeOffset = 15;', 'constexpr size_t alarmCodeOffset = 14;')]),
    ('F52', 'a speed beyond the robot mode data gets a value',
     [('protocol/urwrapper.cpp', '    r.f64(F::speedScaling, 30, &mode.speedScaling);', '    mode.speedScaling = p.f64(30);\n    mode.arrived.add(F::speedScaling);')]),
    ('F53', 'whole-record age (group age ignored)',
     [('plugin/readcycle.cpp', 'const int64_t decodedAt = groupDecodedMs(copy, group);', 'const int64_t decodedAt = copy.lastStateMs;')]),
    ('F54', 'groups of an earlier connection not made old at a new attempt',
     [('worker/robotlink.cpp', '    robot->decodedAtMs = {}; // values of an earlier connection are old from now on\n', '')]),
    ('F55', 'a joint value beyond the joint data gets a value',
     [('worker/robotitems.cpp', 'if (index >= r.joints.size() || !r.joints.at(index).arrived.has(arrived))', 'if (index >= r.joints.size())')]),
    ('F56', 'an alarm message too short for its fields counted as an alarm',
     [('protocol/urwrapper.cpp', '        if (message.size < alarmEnd)\n            break;\n', '')]),
    ('F57', 'robot mode -1 (no controller) reported as 255',
     [('worker/robotitems.cpp', '*out = QString::number(int(int8_t(r.modeData.robotMode)));', '*out = QString::number(int(r.modeData.robotMode));')]),
    ('F58', 'diagnosis: a connection closed by the peer not told',
     [('demo-host/diagnose.cpp', '    if (s.closed) {\n        out << "The peer closed', '    if (false) {\n        out << "The peer closed')]),
    ('F59', 'diagnosis: a refused connection taken for no answer',
     [('demo-host/diagnose.cpp', 'c.reach = error == ECONNREFUSED ? Reach::Refused', 'c.reach = error == -1 ? Reach::Refused')]),
    ('F100', 'utilisation: a gap of over a second between robot states counted',
     [('protocol/utilisation.cpp', 'if (spanMs > 0 && spanMs <= maxSpanMs) {', 'if (spanMs > 0) {')]),
    ('F101', 'utilisation: a stop that was on before a reconnection counted again',
     [('protocol/utilisation.cpp', '    if (previous.ms != 0) {', '    if (true) {')]),
    ('F102', 'utilisation: robot states timed on the time of day',
     [('protocol/urwrapper.cpp', 'utilisation::count(&robot->utilisation, package, robot->decodedAtMs.mode);',
       'utilisation::count(&robot->utilisation, package, QDateTime::currentMSecsSinceEpoch());')]),
    ('F103', 'utilisation: counters written with %g',
     [('worker/robotitems.cpp', '*out = QString::number(qulonglong(r.utilisation.*field / per));',
       '*out = realText(double(r.utilisation.*field / per));')]),
    ('F104', 'utilisation: the time without a connection counted',
     [('worker/robotlink.cpp', '    robot->utilisation.previous = {}; // no span or start is counted across connections\n', '')]),
    ('F70', 'a CB2 master board read at the later offsets',
     [('protocol/urwrapper.cpp', '    if (isCb2Masterboard(p)) {', '    if (isCb2Masterboard(p) && false) {')]),
    ('F71', 'a field beyond its sub-package read as zero and given a value',
     [('protocol/urwrapper.cpp', 'if (offset + size > p_.size)', 'if (offset + size == 0)')]),
    ('F72', 'a CB2 robot-mode number reported as robot_mode',
     [('protocol/urwrapper.cpp', 'r.u8(F::robotModeCb2, 20, &mode.robotMode);', 'r.u8(F::robotMode, 20, &mode.robotMode);')]),
    ('F73', 'values beyond the names creating names',
     [('protocol/variables.cpp', 'const QString name = robot->variableNames.value(start + i);', 'const QString &name = robot->variableNames[start + i];')]),
    ('F74', 'repeated names not bounded',
     [('protocol/variables.cpp', '        if (start + i >= URWrapper::maxVariableNames) {\n            logNamesLimit(robot);\n            break;\n        }\n', '')]),
    ('F75', 'a default item valued whether or not its field arrived',
     [('worker/robotitems.cpp', '                if (!b.arrived.has(arrived))\n                    return false;\n', '')]),
    ('F76', 'the CB2 speed slider read at the later offset',
     [('protocol/urwrapper.cpp', 'r.f64(F::targetSpeedFraction, 21, &mode.targetSpeedFraction);', 'r.f64(F::targetSpeedFraction, 22, &mode.targetSpeedFraction);')]),
    ('F77', 'a CB2 Euromap 67 block taken for the later 16 bytes',
     [('protocol/urwrapper.cpp', 'constexpr uint32_t cb2EuromapBlockBytes = 12;', 'constexpr uint32_t cb2EuromapBlockBytes = 16;')]),
    ('F78', 'a names file read beyond the bound',
     [('protocol/variables.cpp', ' || index < 0 || index >= URWrapper::maxVariableNames', '')]),
    ('F90', 'diagnosis: a whole message of any type counted as a controller message',
     [('demo-host/diagnose.cpp', '    s->messages += decoded.messages;\n', '    s->messages = s->wholeMessages;\n')]),
    ('F91', 'diagnosis: robot states that stopped seconds before the end called streaming',
     [('demo-host/diagnose.cpp', 'if (s.endMs - s.lastStateMs > robotlink::silenceMs) {', 'if (s.endMs - s.lastStateMs > 10 * 1000) {')]),
    ('F92', 'diagnosis: robot states further apart than the silence limit called streaming',
     [('demo-host/diagnose.cpp', 'if (s.largestGapMs > robotlink::silenceMs) {', 'if (false) {')]),
    ('F93', 'diagnosis: robot states that carry no values called streaming',
     [('demo-host/diagnose.cpp', '    if (valued == 0) {\n', '    if (false) {\n')]),
    ('F94', 'diagnosis: a connection slower than the plug-in waits taken for a good one',
     [('demo-host/diagnose.cpp', 'if (c.tookMs > robotlink::connectTimeoutMs) {\n        out << "Connecting took', 'if (false) {\n        out << "Connecting took')]),
]

def run(cmd, cwd, **kw):
    return subprocess.run(cmd, cwd=cwd, shell=True, text=True, capture_output=True, **kw)

# The suite in a network namespace of its own (as root, with iproute2), so that it never meets
# another run of the tests on the same loopback addresses.
ISOLATED = "unshare -n sh -c 'ip link set lo up && exec \"$@\"' suite "

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default="")
    ap.add_argument("--keep", action="store_true", help="keep the scratch worktree")
    args = ap.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    only = set(filter(None, args.only.split(",")))
    tree = tempfile.mkdtemp(prefix="ur-faults-")
    run(f"git worktree add --detach {tree} HEAD", root).check_returncode()
    build = os.path.join(tree, "build")
    vectors = os.path.join(root, "..", "shared", "vectors")
    run(f"cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DUR_BUILD_TESTS=ON "
        f"-DUR_BUILD_BENCHMARKS=ON -DUR_VECTORS_DIR={vectors}", tree).check_returncode()
    base = run("cmake --build build -j2", tree)
    if base.returncode != 0:
        sys.exit("the tree does not build:\n" + base.stdout[-3000:])
    clean = run(ISOLATED + "ctest -j8 --no-tests=error", build)
    if clean.returncode != 0:
        sys.exit("the suite fails without any fault:\n" + clean.stdout[-3000:])
    for fid, what, edits in FAULTS:
        if only and fid not in only:
            continue
        originals = {}
        for path, old, new in edits:
            file = os.path.join(tree, path)
            text = originals.setdefault(file, open(file).read())
            current = open(file).read()
            if current.count(old) != 1:
                print(f"{fid:4} {what}: NOT PLANTED (text not found once in {path})", flush=True)
                break
            open(file, "w").write(current.replace(old, new))
        else:
            made = run("cmake --build build -j2", tree)
            if made.returncode != 0:
                print(f"{fid:4} {what}: DOES NOT BUILD", flush=True)
            else:
                suite = run(ISOLATED + "ctest -j8 --no-tests=error --timeout 300", build)
                failed = re.findall(r"\d+ - (\S+) \(", suite.stdout)
                caught = ", ".join(failed) if failed else "NOT CAUGHT"
                print(f"{fid:4} {what}: {caught}", flush=True)
        for file, text in originals.items():
            open(file, "w").write(text)
    run("cmake --build build -j2", tree)
    if not args.keep:
        run(f"git worktree remove --force {tree}", root)

if __name__ == "__main__":
    main()
