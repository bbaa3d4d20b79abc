#include "resolver.h"

#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

Resolver::Resolver() {
    if (pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        wakeFds[0] = wakeFds[1] = -1;
}

Resolver::~Resolver() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    queued.notify_all();
    if (thread.joinable())
        thread.join();
    for (int fd : wakeFds) {
        if (fd >= 0)
            ::close(fd);
    }
}

Resolver::State Resolver::take(const QString &host, in_addr *address) {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = answers.find(host);
    if (found == answers.end()) {
        answers.insert(host, Answer());
        queue.push_back(host);
        if (!thread.joinable())
            thread = std::thread(&Resolver::serve, this);
        queued.notify_one();
        return State::Pending;
    }
    if (!found->finished)
        return State::Pending;
    const Answer answer = *found;
    answers.erase(found);
    if (!answer.resolved)
        return State::Failed;
    *address = answer.address;
    return State::Resolved;
}

void Resolver::clearNotification() {
    char drain[64];
    while (wakeFds[0] >= 0 && ::read(wakeFds[0], drain, sizeof drain) > 0) {
    }
}

void Resolver::serve() {
    pthread_setname_np(pthread_self(), "ur-resolver"); // as seen in top and ps
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        queued.wait(lock, [this] { return quit || !queue.empty(); });
        if (quit)
            return;
        const QString host = queue.front();
        queue.pop_front();
        lock.unlock();

        // getaddrinfo rather than gethostbyname: the host process may resolve names on
        // other threads too, and gethostbyname's shared storage is not safe for that.
        Answer answer;
        answer.finished = true;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *list = nullptr;
        if (!host.isEmpty() &&
            getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &list) == 0 && list) {
            answer.resolved = true;
            answer.address = reinterpret_cast<const sockaddr_in *>(list->ai_addr)->sin_addr;
        }
        if (list)
            freeaddrinfo(list);

        lock.lock();
        answers.insert(host, answer);
        if (wakeFds[1] >= 0) {
            const char one = 1;
            [[maybe_unused]] const ssize_t written = ::write(wakeFds[1], &one, 1);
        }
    }
}
