#pragma once
// A throwaway MariaDB server for one test program: its own data folder in a
// temporary directory, a free loopback port, the project's schema loaded.
// The server is a child of the test process and ends with it.
//
// Where a test cannot start servers itself (Windows: the servers run on the
// machine that runs the tests, see scripts/test-windows.sh), it takes one of
// those named in SMS_TEST_SERVERS, entries "host:port[ mariadbd options]"
// separated by ';': the first not yet taken whose options are this server's
// extraArgs. Such a server is not stopped or restarted by the test.

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <memory>

class TestServer
{
public:
    // extraArgs go to mariadbd, e.g. "--default-time-zone=+05:00".
    explicit TestServer(QStringList extraArgs = {});
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Whether this process starts and stops its servers itself.
    static bool ownsServers();

    bool start(); // first start initialises the data folder and loads db/schema.sql
    void stop();  // ends the server (SIGTERM) and waits for it
    bool running() const;
    QString error() const { return error_; }

    QString host() const { return host_; }
    int port() const { return port_; }
    QString dir() const;

    // A run with SMS_TEST_HARDENED=1 in its environment starts its servers
    // hardened: TLS, db/hardened.sql applied, root through the socket only.
    static bool hardenedRun();
    bool hardened() const { return hardened_; }
    // Before the first start: a hardened server, or a legacy one, whatever the run.
    void setHardened(bool on) { hardened_ = on; }
    // The CA that signed a hardened server's certificate (empty otherwise):
    // what a test hands the data module with the server's address.
    QString caFile() const;

    // An administrative connection of the test's own (database sms; through
    // the socket on a hardened server).
    QSqlDatabase admin();
    // Another connection of that kind under name (added, or reused and
    // closed), not yet opened: a second client of the test, e.g. on a thread
    // of its own.
    QSqlDatabase adminConnectionTo(const QString& name) const;
    // A connection to the server at host:port as the project's account, on
    // database sms, under name (added, or reused and closed); not yet opened.
    static QSqlDatabase connectionTo(const QString& name, const QString& host, int port);
    // Runs statements on the admin connection; failures are reported with the server's text.
    bool exec(const QString& sql, QString* err = nullptr);
    bool exec(const QString& sql, const QVariantList& values, QString* err = nullptr);
    QVariant scalar(const QString& sql, const QVariantList& values = {});
    // Runs a file of statements with the command-line client (delimiters allowed).
    bool runFile(const QString& path);
    bool loadSchema();
    // Empties every table and restarts the counters (and the hardened
    // database's sessions, failed logins and issued numbers); the schema stays.
    bool resetData();

private:
    bool launch(); // starts the server on port_ and waits until it is set up
    bool attach(); // takes a server of SMS_TEST_SERVERS
    bool runStatements(const QString& path); // a file of statements on the admin connection
    QStringList extraArgs_;
    bool hardened_ = hardenedRun();
    std::unique_ptr<QTemporaryDir> tmp_;
    std::unique_ptr<QProcess> proc_;
    QString host_ = QStringLiteral("127.0.0.1");
    int port_ = 0;
    int taken_ = -1; // the entry of SMS_TEST_SERVERS in use
    QString error_;
    QString adminName_;
};

// Skips the current test where the test cannot stop and restart its server.
#define SKIP_UNLESS_OWN_SERVERS()                                                                            \
    do {                                                                                                     \
        if (!TestServer::ownsServers())                                                                      \
            QSKIP("stops or restarts its database server, which runs outside this test");                  \
    } while (false)

// Fails the current test with the server's text when a statement fails.
#define SQL_EXEC(server, sql)                                                                                \
    do {                                                                                                     \
        QString sqlErr_;                                                                                     \
        if (!(server).exec((sql), &sqlErr_))                                                                 \
            QFAIL(qPrintable(QStringLiteral("SQL failed: %1\n  %2").arg(QString(sql), sqlErr_)));            \
    } while (false)
