// Text reads from a local server: the answer arrives on the main thread, once, and never after a cancel.
#include "ui/kit/http_text.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace plindo::ui {
namespace {

// Answers every connection with one fixed response once the request head has arrived.
class OneAnswerServer {
public:
    explicit OneAnswerServer(QByteArray response) : response_(std::move(response)) {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (auto* s = server_.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    request_ += s->readAll();
                    if (!request_.contains("\r\n\r\n")) return;
                    if (!hold_) {
                        s->write(response_);
                        s->disconnectFromHost();
                    }
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    std::string url(const std::string& path = "/tags?path=%2Fm%2Fa.mp3") const {
        return "http://127.0.0.1:" + std::to_string(server_.serverPort()) + path;
    }
    QByteArray request_;
    bool hold_ = false;  // never answer

private:
    QTcpServer server_;
    QByteArray response_;
};

QByteArray response(int status, const QByteArray& body) {
    return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::optional<HttpText::Reply> fetch(const std::string& url) {
    HttpText t;
    std::optional<HttpText::Reply> got;
    int calls = 0;
    t.get(url, [&](const HttpText::Reply& r) {
        got = r;
        ++calls;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return calls > 0; }, 5000));
    QTest::qWait(20);
    EXPECT_EQ(calls, 1);
    return got;
}

TEST(HttpText, AnswersOnceWithTheBodyOrWhyNot) {
    {
        OneAnswerServer s(response(200, R"({"artist":"A","title":"B"})"));
        const auto r = fetch(s.url());
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->ok);
        EXPECT_EQ(r->status, 200);
        EXPECT_EQ(r->body, R"({"artist":"A","title":"B"})");
        EXPECT_TRUE(s.request_.startsWith("GET /tags?path=%2Fm%2Fa.mp3 HTTP/1.1\r\n"));
    }
    {
        OneAnswerServer s(response(404, "nope"));
        const auto r = fetch(s.url());
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->ok);
        EXPECT_EQ(r->status, 404);
        EXPECT_EQ(r->body, "nope");  // kept for readers that take any answer
    }
    {
        // Over 1 MB, announced or not: refused, nothing kept.
        const QByteArray big(int(HttpText::kMaxBytes) + 1, 'x');
        OneAnswerServer announced(response(200, big));
        auto r = fetch(announced.url());
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->ok);
        EXPECT_TRUE(r->body.empty());
        OneAnswerServer unannounced("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + big);
        r = fetch(unannounced.url());
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->ok);
        EXPECT_TRUE(r->body.empty());
        OneAnswerServer exact(response(200, QByteArray(int(HttpText::kMaxBytes), 'y')));
        r = fetch(exact.url());
        ASSERT_TRUE(r);
        EXPECT_TRUE(r->ok);
        EXPECT_EQ(r->body.size(), HttpText::kMaxBytes);
    }
    for (const char* bad : {"", "ftp://x/y", "http://", "http://127.0.0.1:99999/"}) {
        const auto r = fetch(bad);
        ASSERT_TRUE(r) << bad;
        EXPECT_FALSE(r->ok) << bad;
        EXPECT_FALSE(r->error.empty()) << bad;
    }
}

TEST(HttpText, CancelledOrReplacedOrDestroyedRequestsNeverAnswer) {
    OneAnswerServer slow("");
    slow.hold_ = true;
    OneAnswerServer quick(response(200, "second"));
    int first = 0;
    std::string second;
    {
        HttpText t;
        t.get(slow.url(), [&](const HttpText::Reply&) { ++first; });
        EXPECT_TRUE(t.busy());
        t.get(quick.url(), [&](const HttpText::Reply& r) { second = r.body; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return !second.empty(); }, 5000));
        EXPECT_EQ(second, "second");
        EXPECT_FALSE(t.busy());

        t.get(quick.url(), [&](const HttpText::Reply&) { ++first; });
        t.cancel();
        EXPECT_FALSE(t.busy());
        t.get(quick.url(), [&](const HttpText::Reply&) { ++first; });
    }  // destroyed with the request in flight
    QTest::qWait(300);
    EXPECT_EQ(first, 0);
}

}  // namespace
}  // namespace plindo::ui
