#include "HttpAnswer.h"

#include <QList>

#include <limits>

namespace knobly {

namespace {

// Strict: digits only (base 10 or 16), no sign, no blanks, no overflow.
bool readNumber(QByteArrayView text, int base, qint64 *value) {
    if (text.isEmpty() || text.size() > 15)
        return false;
    qint64 n = 0;
    for (char c : text) {
        int d = -1;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        if (d < 0)
            return false;
        n = n * base + d;
    }
    *value = n;
    return true;
}

// The end of the head's blank line, whether lines end in CRLF or a bare LF; -1 when not yet.
qsizetype headEnd(const QByteArray &bytes, qsizetype *blank) {
    for (qsizetype i = bytes.indexOf('\n'); i >= 0; i = bytes.indexOf('\n', i + 1)) {
        const QByteArrayView rest = QByteArrayView(bytes).sliced(i + 1);
        if (rest.startsWith('\n')) {
            *blank = 1;
            return i + 1;
        }
        if (rest.startsWith("\r\n")) {
            *blank = 2;
            return i + 1;
        }
    }
    return -1;
}

// One line (CRLF or LF) from the front of bytes, without its end; false when not complete.
bool takeLine(QByteArray &bytes, QByteArray *line) {
    const qsizetype end = bytes.indexOf('\n');
    if (end < 0)
        return false;
    *line = bytes.left(end).trimmed();
    bytes.remove(0, end + 1);
    return true;
}

} // namespace

HttpAnswer::State HttpAnswer::fail(const QString &why) {
    state_ = State::Failed;
    error_ = why;
    body_.clear();
    pending_.clear();
    return state_;
}

bool HttpAnswer::readHead(QByteArrayView head) {
    const QList<QByteArray> lines = head.toByteArray().split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    qint64 status = 0;
    if (first.size() < 2 || !first[0].startsWith("HTTP/1.") || first[1].size() != 3 ||
        !readNumber(first[1], 10, &status) || status < 100) {
        fail(QStringLiteral("the answer is not HTTP"));
        return false;
    }
    status_ = int(status);
    keepAlive_ = first[0] != "HTTP/1.0";
    framing_ = Framing::UntilClose;
    qint64 length = -1;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = lines[i].left(colon).trimmed().toLower();
        const QByteArray value = lines[i].mid(colon + 1).trimmed().toLower();
        if (name == "connection") {
            if (value.contains("close"))
                keepAlive_ = false;
            else if (value.contains("keep-alive"))
                keepAlive_ = true;
        } else if (name == "transfer-encoding") {
            if (value.endsWith("chunked"))
                framing_ = Framing::Chunked;
        } else if (name == "content-length") {
            qint64 n = 0;
            // Two different lengths leave no way to tell where the answer ends.
            if (!readNumber(value, 10, &n) || (length >= 0 && n != length)) {
                fail(QStringLiteral("the answer's length is unreadable"));
                return false;
            }
            length = n;
        }
    }
    if (framing_ == Framing::Chunked) {
        step_ = Step::ChunkSize;
    } else if (status_ == 204 || status_ == 304 || length == 0) {
        state_ = State::Done;
    } else if (length > 0) {
        if (maxBody_ >= 0 && length > maxBody_) {
            fail(QStringLiteral("response body too large"));
            return false;
        }
        framing_ = Framing::Length;
        left_ = length;
        step_ = Step::Body;
    } else {
        keepAlive_ = false; // only the close ends it
        step_ = Step::Body;
    }
    return true;
}

bool HttpAnswer::appendBody(QByteArrayView bytes) {
    if (maxBody_ >= 0 && body_.size() + bytes.size() > maxBody_) {
        fail(QStringLiteral("response body too large"));
        return false;
    }
    body_.append(bytes);
    return true;
}

HttpAnswer::State HttpAnswer::feed(QByteArrayView bytes) {
    if (state_ != State::Reading) {
        extra_ = extra_ || !bytes.isEmpty();
        return state_;
    }
    started_ = started_ || !bytes.isEmpty();
    pending_.append(bytes);
    return run();
}

HttpAnswer::State HttpAnswer::run() {
    while (state_ == State::Reading) {
        QByteArray line;
        switch (step_) {
        case Step::Head: {
            qsizetype blank = 0;
            const qsizetype end = headEnd(pending_, &blank);
            if (end < 0)
                return pending_.size() > maxHeadBytes
                           ? fail(QStringLiteral("answer head too large"))
                           : state_;
            const QByteArray head = pending_.left(end);
            pending_.remove(0, end + blank);
            if (!readHead(head))
                return state_;
            // An interim answer (100 Continue) is followed by the real one.
            if (status_ < 200) {
                state_ = State::Reading;
                step_ = Step::Head;
                keepAlive_ = true;
            }
            break;
        }
        case Step::Body:
        case Step::ChunkData: {
            const bool toClose = framing_ == Framing::UntilClose;
            const qsizetype n =
                toClose ? pending_.size() : qsizetype(std::min<qint64>(left_, pending_.size()));
            if (!appendBody(QByteArrayView(pending_).first(n)))
                return state_;
            pending_.remove(0, n);
            left_ -= n;
            if (toClose || left_ > 0)
                return state_;
            if (step_ == Step::Body)
                state_ = State::Done;
            else
                step_ = Step::ChunkEnd;
            break;
        }
        case Step::ChunkSize: {
            if (!takeLine(pending_, &line))
                return pending_.size() > maxHeadBytes ? fail(QStringLiteral("bad chunk")) : state_;
            const qsizetype semicolon = line.indexOf(';'); // extensions are ignored
            if (!readNumber(
                    QByteArrayView(line).first(semicolon < 0 ? line.size() : semicolon).trimmed(),
                    16, &left_))
                return fail(QStringLiteral("bad chunk"));
            if (maxBody_ >= 0 && left_ > maxBody_ - body_.size())
                return fail(QStringLiteral("response body too large"));
            step_ = left_ == 0 ? Step::Trailer : Step::ChunkData;
            break;
        }
        case Step::ChunkEnd:
            if (!takeLine(pending_, &line))
                return state_;
            if (!line.isEmpty())
                return fail(QStringLiteral("bad chunk"));
            step_ = Step::ChunkSize;
            break;
        case Step::Trailer:
            if (!takeLine(pending_, &line))
                return pending_.size() > maxHeadBytes ? fail(QStringLiteral("bad chunk")) : state_;
            if (line.isEmpty())
                state_ = State::Done;
            break;
        }
    }
    extra_ = extra_ || !pending_.isEmpty();
    pending_.clear();
    return state_;
}

HttpAnswer::State HttpAnswer::closed() {
    if (state_ != State::Reading)
        return state_;
    if (step_ == Step::Body && framing_ == Framing::UntilClose) {
        state_ = State::Done;
        keepAlive_ = false;
        return state_;
    }
    return fail(started_ ? QStringLiteral("the answer was cut short")
                         : QStringLiteral("the connection closed without an answer"));
}

} // namespace knobly
