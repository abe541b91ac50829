#include "HttpAnswer.h"

#include <gtest/gtest.h>

using namespace knobly;
using State = HttpAnswer::State;

namespace {

struct Row {
    const char *bytes;
    bool close; // the device closes the connection after the bytes
    State state;
    int status;
    const char *body;
    bool reusable;
};

// Every row read whole and a byte at a time: where the bytes split must not matter.
TEST(HttpAnswer, FramingsLimitsAndBrokenAnswers) {
    const std::string longHead = "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'a');
    // clang-format off
    const Row rows[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK", false, State::Done, 200, "OK", true},
        {"HTTP/1.1 200 OK\nContent-length:  2 \n\nOK", false, State::Done, 200, "OK", true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2;x=y\r\nOK\r\n3\r\n123\r\n0\r\n"
         "X-Trailer: 1\r\n\r\n", false, State::Done, 200, "OK123", true},
        {"HTTP/1.0 200 OK\r\n\r\nhello", true, State::Done, 200, "hello", false},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody", true, State::Done, 200, "body", false},
        {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 1\r\n\r\nx", false,
         State::Done, 200, "x", true},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", false, State::Done, 200, "x", false},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\nNope!", false, State::Done, 404,
         "Nope!", true},
        {"HTTP/1.1 204 No Content\r\n\r\n", false, State::Done, 204, "", true},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK", false,
         State::Done, 200, "OK", true},
        // Bytes after the answer: the connection is not trusted with another request.
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOKextra", false, State::Done, 200, "OK",
         false},
        {"SSH-2.0-OpenSSH_9.2\r\n\r\n", false, State::Failed, 0, "", false},
        {"HTTP/1.1 2000 OK\r\n\r\n", false, State::Failed, 0, "", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", true, State::Failed, 200, "", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nOK", false,
         State::Failed, 200, "", false},
        {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n", false, State::Failed, 200, "", false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, State::Failed, 200,
         "", false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n", false,
         State::Failed, 200, "", false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nOKX\r\n", false,
         State::Failed, 200, "", false},
        // Over the 8-byte cap, however the body comes.
        {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", false, State::Failed, 200, "", false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n12345\r\n4\r\n", false,
         State::Failed, 200, "", false},
        {"HTTP/1.1 200 OK\r\n\r\n123456789", true, State::Failed, 200, "", false},
        {"", true, State::Failed, 0, "", false},
        {longHead.c_str(), false, State::Failed, 0, "", false},
    };
    // clang-format on
    for (const Row &row : rows) {
        const QByteArray bytes(row.bytes);
        for (const bool piecewise : {false, true}) {
            SCOPED_TRACE(std::string(row.bytes).substr(0, 80) +
                         (piecewise ? " (a byte at a time)" : ""));
            HttpAnswer answer(8);
            if (piecewise)
                for (char c : bytes)
                    answer.feed(QByteArrayView(&c, 1));
            else
                answer.feed(bytes);
            if (row.close)
                answer.closed();
            EXPECT_EQ(answer.state(), row.state) << answer.error().toStdString();
            EXPECT_EQ(answer.status(), row.status);
            EXPECT_EQ(answer.body(), QByteArray(row.body));
            EXPECT_EQ(answer.reusable(), row.reusable);
            EXPECT_EQ(answer.state() == State::Failed, !answer.error().isEmpty());
        }
    }
}

} // namespace
