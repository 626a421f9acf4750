// The loopback test server itself, spoken to over plain sockets: the forms of
// target it accepts, what it records, keep-alive and parallel connections.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <string>
#include <vector>

#include "support/TestFiles.h"
#include "support/TestHttpServer.h"

using TestSupport::RecordedRequest;
using TestSupport::Response;
using TestSupport::TestHttpServer;

namespace {

class Client {
public:
    explicit Client(int port) {
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(port));
        m_connected = connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { closesocket(m_socket); }
    bool Connected() const { return m_connected; }
    void Send(const std::string& text) { send(m_socket, text.data(), static_cast<int>(text.size()), 0); }
    // Reads one response with a Content-Length body (or up to the close).
    std::string ReadResponse() {
        std::string data;
        char block[4096];
        for (;;) {
            size_t headEnd = data.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                size_t at = data.find("Content-Length: ");
                if (at != std::string::npos && at < headEnd) {
                    size_t length = std::stoul(data.substr(at + 16));
                    if (data.size() >= headEnd + 4 + length) return data.substr(0, headEnd + 4 + length);
                }
            }
            int got = recv(m_socket, block, sizeof block, 0);
            if (got <= 0) return data;
            data.append(block, static_cast<size_t>(got));
        }
    }

private:
    SOCKET m_socket;
    bool m_connected;
};

TEST(TestHttpServer, AbsoluteAndOriginTargetsAreRecordedWithHostPortAndHeaders) {
    TestHttpServer server;
    Response hello;
    hello.body = "hello";
    server.SetResponse("/a", hello, "one.test");
    Response other;
    other.body = "other";
    server.SetResponse("/a", other);  // any other host
    Client client(server.Port());
    ASSERT_TRUE(client.Connected());
    client.Send("GET http://ONE.test:80/a?x=1 HTTP/1.1\r\nHost: one.test\r\nX-Probe:  v1\r\n\r\n");
    std::string first = client.ReadResponse();
    client.Send("POST /a HTTP/1.1\r\nHost: two.test:8080\r\nContent-Length: 3\r\n\r\nabc");
    std::string second = client.ReadResponse();
    EXPECT_EQ(first.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(first.substr(first.size() - 5), "hello");
    EXPECT_EQ(second.substr(second.size() - 5), "other");

    std::vector<RecordedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "http://ONE.test:80/a?x=1");
    EXPECT_EQ(requests[0].host, "one.test");
    EXPECT_EQ(requests[0].port, 80);
    EXPECT_EQ(requests[0].path, "/a?x=1");
    EXPECT_EQ(requests[0].Header("x-probe"), "v1");
    EXPECT_FALSE(requests[0].HasHeader("Content-Length"));
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].host, "two.test");
    EXPECT_EQ(requests[1].port, 8080);
    EXPECT_EQ(requests[1].body, "abc");
    // Keep-alive: both on the one connection.
    EXPECT_EQ(requests[0].connection, requests[1].connection);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(TestHttpServer, ServesFilesAndAnswers404ForUnknownPaths) {
    TestHttpServer server;
    std::string folder = TestSupport::CurrentFolder() + "\\served";
    CreateDirectoryA(folder.c_str(), nullptr);
    HANDLE file = CreateFileA((folder + "\\f.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "file body", 9, &written, nullptr);
    CloseHandle(file);
    server.ServeFolder(folder);
    Client client(server.Port());
    client.Send("GET http://any.test/f.txt?q HTTP/1.1\r\n\r\n");
    std::string found = client.ReadResponse();
    client.Send("GET http://any.test/none.txt HTTP/1.1\r\n\r\n");
    std::string missing = client.ReadResponse();
    EXPECT_NE(found.find("Content-Length: 9\r\n"), std::string::npos);
    EXPECT_EQ(found.substr(found.size() - 9), "file body");
    EXPECT_EQ(missing.substr(0, 22), "HTTP/1.1 404 Not Found");
}

TEST(TestHttpServer, NoLengthAndCutBodiesEndWithTheConnection) {
    TestHttpServer server;
    Response open;
    open.body = "until close";
    open.sendContentLength = false;
    server.SetResponse("/open", open);
    Response cut;
    cut.body = std::string(100, 'c');
    cut.closeAfterBytes = 10;
    server.SetResponse("/cut", cut);
    {
        Client client(server.Port());
        client.Send("GET /open HTTP/1.1\r\nHost: h\r\n\r\n");
        std::string response = client.ReadResponse();
        EXPECT_EQ(response.find("Content-Length"), std::string::npos);
        EXPECT_EQ(response.substr(response.size() - 11), "until close");
    }
    Client client(server.Port());
    client.Send("GET /cut HTTP/1.1\r\nHost: h\r\n\r\n");
    std::string response = client.ReadResponse();  // returns at the close
    EXPECT_NE(response.find("Content-Length: 100\r\n"), std::string::npos);
    EXPECT_EQ(response.substr(response.find("\r\n\r\n") + 4), std::string(10, 'c'));
}

TEST(TestHttpServer, ParallelConnectionsAreServedWhileOneIsNeverAnswered) {
    TestHttpServer server;
    Response silent;
    silent.neverAnswer = true;
    server.SetResponse("/silent", silent);
    Response quick;
    quick.body = "q";
    server.SetResponse("/quick", quick);
    Client hanging(server.Port());
    hanging.Send("GET /silent HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_TRUE(server.WaitForRequests(1));
    std::vector<TestSupport::Thread> clients;
    std::vector<std::string> answers(4);
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&, i] {
            Client client(server.Port());
            client.Send("GET /quick HTTP/1.1\r\nHost: h\r\n\r\n");
            answers[i] = client.ReadResponse();
        });
    }
    for (TestSupport::Thread& thread : clients) thread.Join();
    for (const std::string& answer : answers) EXPECT_EQ(answer.substr(answer.size() - 1), "q");
    EXPECT_EQ(server.ConnectionCount(), 5);
    EXPECT_EQ(server.RequestCount(), 5u);
}  // the destructor ends the silent connection and joins every thread

} // namespace
