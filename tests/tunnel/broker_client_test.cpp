#include "support/fake_broker.h"
#include "support/test_support.h"
#include "tunnel/broker_client.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

#include <gtest/gtest.h>

using testing_support::FakeBroker;
using testing_support::waitUntil;
using namespace QuarryTunnelBroker;

namespace {

// Runs one broker call to its end.
template <typename T>
QuarryResult<T> await(const std::function<void(std::function<void(QuarryResult<T>)>)>& call) {
    std::optional<QuarryResult<T>> result;
    call([&result](QuarryResult<T> answer) { result.emplace(std::move(answer)); });
    EXPECT_FALSE(result.has_value()) << "answers come from the event loop, never inside the call";
    if (!waitUntil([&] { return result.has_value(); }, std::chrono::seconds(20)))
        return QuarryError{"test", 0, "no answer"};
    return *result;
}

template <typename T>
std::string message(const QuarryResult<T>& result) {
    return result ? "<success>" : result.error().message.toStdString();
}

class BrokerClient : public ::testing::Test {
protected:
    QuarryResult<AvailabilityResponse> availability(const QUrl& base,
                                                    const QString& name = QStringLiteral("x")) {
        return await<AvailabilityResponse>([&](auto done) { client.checkAvailability(base, name, done); });
    }
    QuarryResult<ReservationResponse> reservation(const QUrl& base) {
        return await<ReservationResponse>(
            [&](auto done) { client.reserveTunnel(base, "photos", 48173, "INSTALL-ID", done); });
    }

    FakeBroker broker;
    QuarryTunnelBrokerClient client;
};

} // namespace

TEST_F(BrokerClient, SendsRequestsBelowTheBasePathAndReadsTheirAnswers) {
    broker.answer(200, R"({"available":true,"hostname":"my-site.example.net","extra":1})");
    // The base URL's own query is replaced; the subdomain is one query value, however it is spelled.
    const auto available = availability(broker.url("/broker/?stale=1"), "my site&co");
    ASSERT_TRUE(available) << message(available);
    EXPECT_EQ(*available, (AvailabilityResponse{true, "my-site.example.net", std::nullopt}));
    EXPECT_EQ(broker.requests[0].method + " " + broker.requests[0].target,
              "GET /broker/api/tunnels/availability?name=my%20site%26co");

    broker.answer(200, R"({"available":false,"hostname":null})");
    const auto taken = availability(broker.url("/broker"), "photos");
    ASSERT_TRUE(taken) << message(taken);
    EXPECT_EQ(*taken, AvailabilityResponse{});
    EXPECT_EQ(broker.requests[1].target, "/broker/api/tunnels/availability?name=photos");

    // Any 2xx is success.
    broker.answer(201, R"({"hostname":"photos.example.net","tunnelID":"t-1","token":"secret-token"})");
    const auto reserved = reservation(broker.url("/broker/"));
    ASSERT_TRUE(reserved) << message(reserved);
    EXPECT_EQ(*reserved, (ReservationResponse{"photos.example.net", "t-1", "secret-token"}));
    const FakeBroker::Request& post = broker.requests[2];
    EXPECT_EQ(post.method + " " + post.target, "POST /broker/api/tunnels/reserve");
    EXPECT_EQ(post.contentType, "application/json");
    EXPECT_EQ(QJsonDocument::fromJson(post.body).object(), (QJsonObject{{"requestedSubdomain", "photos"},
                                                                        {"localPort", 48173},
                                                                        {"installationID", "INSTALL-ID"},
                                                                        {"appName", "brightloom Share"}}));

    (void)reservation(broker.url(QString()));
    EXPECT_EQ(broker.requests[3].target, "/api/tunnels/reserve");
}

TEST_F(BrokerClient, EveryFailureHasItsReadableMessage) {
    const QString unreadable = "The tunnel broker's answer could not be read: ";
    const struct {
        bool reserve;
        int status;
        QByteArray body;
        QString expected;
    } cases[] = {
        {true, 409, R"({"error":"That subdomain is already taken."})", "That subdomain is already taken."},
        {false, 500, "<html><body>Internal error</body></html>", "The tunnel broker returned HTTP 500."},
        {false, 400, R"({"error":""})", "The tunnel broker returned HTTP 400."},
        {true, 503, "", "The tunnel broker returned HTTP 503."},
        {false, 200, "{}", unreadable + "\"available\" is missing."},
        {false, 200, R"({"available":"yes"})", unreadable + "\"available\" is not true or false."},
        {false, 200, "<html></html>", unreadable + "it is not valid JSON (illegal value)."},
        {true, 200, R"({"hostname":"a.example.net","tunnelID":"t"})", unreadable + "\"token\" is missing."},
        {true, 200, R"({"hostname":"a.example.net/x","tunnelID":"t","token":"k"})",
         unreadable + "\"hostname\" is not a valid host name."},
        {true, 200, R"({"hostname":"a.example.net","tunnelID":"t","token":""})",
         unreadable + "\"token\" is not a usable token."},
        // Far too large to be a broker record: cut off rather than kept in memory.
        {false, 200, QByteArray(3 * 1024 * 1024, ' '), "The tunnel broker's answer is too large."},
    };
    for (const auto& c : cases) {
        broker.answer(c.status, c.body);
        const QUrl base = broker.url("/broker/");
        EXPECT_EQ(c.reserve ? message(reservation(base)) : message(availability(base)),
                  c.expected.toStdString())
            << c.status << " " << c.body.left(80).constData();
    }
}

TEST_F(BrokerClient, UnreachableSilentOrUnusableBrokersFailReadablyAndAGoneClientIsNeverAnswered) {
    client.setTransferTimeout(std::chrono::milliseconds(300));
    broker.silent = true;
    EXPECT_EQ(message(reservation(broker.url("/"))), "The request to the tunnel broker timed out.");

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const QUrl closedURL(QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort()));
    closed.close();
    EXPECT_EQ(message(availability(closedURL)), "Connection refused");
    EXPECT_EQ(message(reservation(QUrl("http://[::1"))), "The tunnel broker URL is invalid.");

    // Answered, but not over HTTP.
    testing_support::writeFile(testing_support::sandboxRoot() + "/broker/api/tunnels/availability", "{}");
    EXPECT_EQ(message(availability(QUrl::fromLocalFile(testing_support::sandboxRoot() + "/broker/"))),
              "The tunnel broker returned an invalid response.");

    // No answer arrives after the client is gone, whether its request was sent or refused at once.
    bool called = false;
    {
        QuarryTunnelBrokerClient leaving;
        leaving.checkAvailability(broker.url("/"), "x", [&](auto) { called = true; });
        waitUntil([&] { return broker.requests.size() == 2; });
        leaving.reserveTunnel(QUrl("http://[::1"), "x", 1, "id", [&](auto) { called = true; });
    }
    testing_support::spin(std::chrono::milliseconds(100));
    EXPECT_FALSE(called);
}
