#pragma once
// A child process running as another local user (nobody, 65534), for what
// such a user can do to a root service: its steps, fixed before the fork,
// run one at a time when the test asks, and it stays alive (holding what it
// took) until the test ends it.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

class OtherUserProcess {
public:
    static constexpr uid_t kNobody = 65534;

    // Why it cannot run here; empty when it can.
    static std::string Obstacle()
    {
        return ::geteuid() == 0 ? std::string() : "becoming another user needs root (CI runs as root)";
    }

    explicit OtherUserProcess(std::vector<std::function<bool()>> steps) : m_steps(std::move(steps))
    {
        int asks[2], answers[2];
        if (::pipe(asks) != 0 || ::pipe(answers) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(asks[1]);
            ::close(answers[0]);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0
                || ::setresuid(kNobody, kNobody, kNobody) != 0)
                ::_exit(2);
            for (unsigned char step; ::read(asks[0], &step, 1) == 1;) {
                const char result = step < m_steps.size() && m_steps[step]() ? '1' : '0';
                if (::write(answers[1], &result, 1) != 1)
                    break;
            }
            ::_exit(0); // nothing of the parent's is closed or unlinked
        }
        ::close(asks[0]);
        ::close(answers[1]);
        m_ask = asks[1];
        m_answer = answers[0];
    }
    ~OtherUserProcess()
    {
        if (m_ask >= 0)
            ::close(m_ask); // the child's read ends, and so does the child
        if (m_answer >= 0)
            ::close(m_answer);
        if (m_pid > 0) {
            pollfd none{};
            for (int i = 0; i < 300 && ::waitpid(m_pid, nullptr, WNOHANG) == 0; ++i)
                ::poll(&none, 0, 100);
            if (::kill(m_pid, SIGKILL) == 0)
                ::waitpid(m_pid, nullptr, 0);
        }
    }
    OtherUserProcess(const OtherUserProcess&) = delete;
    OtherUserProcess& operator=(const OtherUserProcess&) = delete;

    // Runs step as the other user: what it returned, false when the child
    // is gone or did not answer within 30 s.
    bool Run(std::size_t step)
    {
        const auto index = static_cast<unsigned char>(step);
        if (m_ask < 0 || ::write(m_ask, &index, 1) != 1)
            return false;
        pollfd answer{m_answer, POLLIN, 0};
        char result = 0;
        return ::poll(&answer, 1, 30000) == 1 && ::read(m_answer, &result, 1) == 1 && result == '1';
    }

private:
    std::vector<std::function<bool()>> m_steps;
    pid_t m_pid = -1;
    int m_ask = -1;
    int m_answer = -1;
};
