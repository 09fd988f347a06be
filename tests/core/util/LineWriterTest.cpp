#include "util/LineWriter.h"

#include <QtTest>
#include <thread>
#include <unistd.h>

using namespace vellmir;

class LineWriterTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void queuesForAReaderThatComesLate()
    {
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        // Far more than a pipe holds: write() would never return if it waited for the reader.
        QByteArray expected;
        LineWriter writer(fds[1]);
        for (int i = 0; i < 2000; ++i) {
            const QByteArray line
                = QByteArray::number(i) + ':' + QByteArray(1000 + i % 7 * 1000, char('a' + i % 26)) + '\n';
            writer.write(line);
            expected += line;
        }
        QByteArray read;
        std::thread reader([&read, fd = fds[0]] {
            char buffer[65536];
            while (read.size() < 8 * 1024 * 1024) {
                const ssize_t count = ::read(fd, buffer, sizeof buffer);
                if (count <= 0)
                    break;
                read.append(buffer, count);
            }
        });
        QVERIFY(writer.flush(std::chrono::seconds(30)));
        ::close(fds[1]);
        reader.join();
        ::close(fds[0]);
        QCOMPARE(read.size(), expected.size());
        QVERIFY(read == expected); // whole lines, in order
    }

    void givesUpOnAReaderThatStoppedOrLeft()
    {
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        {
            LineWriter writer(fds[1]);
            writer.write(QByteArray(1024 * 1024, 'x') + '\n');
            QVERIFY(!writer.flush(std::chrono::milliseconds(200)));
        }
        // A reader that closed its end fails the writer instead of killing the process.
        ::close(fds[0]);
        LineWriter writer(fds[1]);
        writer.write("line\n");
        QVERIFY(!writer.flush(std::chrono::seconds(30)));
        ::close(fds[1]);
    }
};

QTEST_GUILESS_MAIN(LineWriterTest)
#include "LineWriterTest.moc"
