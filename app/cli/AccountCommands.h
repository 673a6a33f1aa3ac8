#pragma once

#include <QCoroTask>

namespace pq::cli {

class Credentials;
class Interrupts;

// sign-in (through the browser, or with a pasted key) and sign-out. Each returns the process's
// exit status.
class AccountCommands {
public:
    AccountCommands(Credentials& credentials, Interrupts& interrupts)
        : m_credentials(credentials), m_interrupts(interrupts) {}

    QCoro::Task<int> signInWithBrowser();
    QCoro::Task<int> signInWithKey();
    QCoro::Task<int> signOut();

private:
    Credentials& m_credentials;
    Interrupts& m_interrupts;
};

} // namespace pq::cli
