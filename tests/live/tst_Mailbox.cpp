// Running posted functions on the mailbox's thread: order per posting thread, nothing lost under
// concurrent posting, never inline, and a task that destroys the mailbox.
#include "Mailbox.h"

#include <QTest>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

using namespace pq;

class TestMailbox : public QObject {
    Q_OBJECT

private slots:
    void runsLaterOnItsOwnThread();
    void concurrentPostersKeepTheirOrder();
    void aTaskMayDestroyTheMailbox();
};

void TestMailbox::runsLaterOnItsOwnThread() {
    Mailbox box;
    QList<int> ran;
    box.post([&ran] { ran.append(1); });
    box.post([&ran, &box] {
        ran.append(2);
        // Posted from inside a task: runs after it, not within it.
        box.post([&ran] { ran.append(4); });
        ran.append(3);
    });
    QVERIFY(ran.isEmpty());
    QTRY_COMPARE(ran, (QList<int>{1, 2, 3, 4}));
}

void TestMailbox::concurrentPostersKeepTheirOrder() {
    Mailbox box;
    constexpr int posters = 4;
    constexpr int each = 2000;
    std::vector<QList<int>> seen(posters); // touched only on the mailbox's thread
    std::atomic<int> wrongThread{0};
    QThread* const home = QThread::currentThread();
    std::vector<std::thread> threads;
    for (int p = 0; p < posters; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < each; ++i)
                box.post([&, p, i] {
                    if (QThread::currentThread() != home)
                        ++wrongThread;
                    seen[p].append(i);
                });
        });
    for (std::thread& t : threads)
        t.join();
    QTRY_VERIFY([&] {
        for (const QList<int>& s : seen)
            if (s.size() < each)
                return false;
        return true;
    }());
    QCOMPARE(wrongThread.load(), 0);
    for (const QList<int>& s : seen) {
        QCOMPARE(s.size(), each);
        for (int i = 0; i < each; ++i)
            QCOMPARE(s[i], i);
    }
}

void TestMailbox::aTaskMayDestroyTheMailbox() {
    auto* box = new Mailbox;
    int ran = 0;
    box->post([&ran] { ++ran; });
    box->post([&ran, box] {
        ++ran;
        delete box;
    });
    box->post([&ran] { ran += 100; }); // dropped with the mailbox
    QTRY_COMPARE(ran, 2);
    QTest::qWait(50);
    QCOMPARE(ran, 2);
}

QTEST_GUILESS_MAIN(TestMailbox)
#include "tst_Mailbox.moc"
