#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace knobly {

// Reads one HTTP/1.x answer from bytes as they arrive: a body sized by Content-Length, sent in
// chunks, or running to the close of the connection.
class HttpAnswer {
public:
    enum class State { Reading, Done, Failed };

    static constexpr qsizetype maxHeadBytes = 16 * 1024;

    explicit HttpAnswer(qint64 maxBodyBytes) : maxBody_(maxBodyBytes) {}

    // Takes the bytes that arrived. Bytes past the end of the answer are ignored, and the
    // connection is then not worth keeping.
    State feed(QByteArrayView bytes);
    // The peer closed the connection.
    State closed();

    State state() const { return state_; }
    int status() const { return status_; }
    const QByteArray &body() const { return body_; }
    QByteArray takeBody() { return std::move(body_); }
    // Whether the connection may carry another request after this answer.
    bool reusable() const { return state_ == State::Done && keepAlive_ && !extra_; }
    // Something arrived; a connection that closes before that may simply have gone idle.
    bool started() const { return started_; }
    const QString &error() const { return error_; }

private:
    enum class Framing { Length, Chunked, UntilClose };
    enum class Step { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer };

    State fail(const QString &why);
    bool readHead(QByteArrayView head);
    bool appendBody(QByteArrayView bytes);
    State run();

    qint64 maxBody_;
    State state_ = State::Reading;
    Step step_ = Step::Head;
    Framing framing_ = Framing::UntilClose;
    QByteArray pending_; // bytes not yet consumed
    QByteArray body_;
    qint64 left_ = 0; // body or chunk bytes still to come
    int status_ = 0;
    bool keepAlive_ = true;
    bool started_ = false;
    bool extra_ = false;
    QString error_;
};

} // namespace knobly
