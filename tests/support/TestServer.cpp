#include "tests/support/TestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSqlError>
#include <QTcpServer>
#include <QThread>
#include <atomic>
#ifdef Q_OS_LINUX
#include <signal.h>
#include <sys/prctl.h>
#endif

namespace {
std::atomic<int> g_adminCounter{0};

int freePort()
{
    QTcpServer s;
    if (!s.listen(QHostAddress(QStringLiteral("127.0.0.1")), 0))
        return 0;
    return s.serverPort();
}

QString script()
{
    return QStringLiteral(SMS_SOURCE_DIR "/scripts/dbserver.sh");
}
} // namespace

TestServer::TestServer(QStringList extraArgs)
    : extraArgs_(std::move(extraArgs)), adminName_(QStringLiteral("testadmin%1").arg(g_adminCounter++))
{
}

TestServer::~TestServer()
{
    stop();
    QSqlDatabase::removeDatabase(adminName_);
}

QString TestServer::dir() const
{
    return tmp_ ? tmp_->path() : QString();
}

bool TestServer::hardenedRun()
{
    return qEnvironmentVariable("SMS_TEST_HARDENED") == QLatin1String("1");
}

QString TestServer::caFile() const
{
    return hardened_ && tmp_ ? tmp_->path() + QStringLiteral("/tls/ca.pem") : QString();
}

bool TestServer::running() const
{
    return taken_ >= 0 || (proc_ && proc_->state() != QProcess::NotRunning);
}

bool TestServer::start()
{
    if (running())
        return true;
    if (!ownsServers())
        return attach();
    if (!tmp_) {
        tmp_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/dbsrv-XXXXXX"));
        if (!tmp_->isValid()) {
            error_ = QStringLiteral("no temporary folder");
            return false;
        }
    }
    // A first start may move to another port when the server cannot have its
    // own (another program took it meanwhile); a restart keeps the port its
    // clients know.
    const bool firstStart = port_ == 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (port_ == 0 || (firstStart && attempt > 0))
            port_ = freePort();
        if (launch())
            break;
        stop();
        if (attempt == 3)
            return false;
    }
    QSqlDatabase db = adminConnectionTo(adminName_);
    if (!db.open()) {
        error_ = db.lastError().text();
        return false;
    }
    return true;
}

QSqlDatabase TestServer::connectionTo(const QString& name, const QString& host, int port)
{
    QSqlDatabase db = QSqlDatabase::contains(name)
                          ? QSqlDatabase::database(name, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    db.close();
    db.setHostName(host);
    db.setPort(port);
    db.setUserName(QStringLiteral("root"));
    db.setPassword(QStringLiteral("604918"));
    db.setDatabaseName(QStringLiteral("sms"));
    return db;
}

bool TestServer::launch()
{
    proc_ = std::make_unique<QProcess>();
    proc_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    proc_->setStandardOutputFile(QProcess::nullDevice());
#ifdef Q_OS_LINUX
    // The server goes with the test process, however that ends.
    proc_->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
    // A hardened server runs with TLS: its files are made once per data folder.
    if (hardened_ && QProcess::execute(QStringLiteral("bash"), {QStringLiteral(SMS_SOURCE_DIR "/scripts/tls.sh"),
                                                                 tmp_->path()}) != 0) {
        error_ = QStringLiteral("cannot make the server's TLS files");
        return false;
    }
    QStringList args{script(), QStringLiteral("exec"), tmp_->path(), QString::number(port_)};
    args << extraArgs_;
    proc_->start(QStringLiteral("bash"), args);
    if (!proc_->waitForStarted(10000)) {
        error_ = QStringLiteral("cannot start the database server");
        return false;
    }
    QProcess setup;
    setup.setProcessChannelMode(QProcess::ForwardedChannels);
    QStringList setupArgs{script(), QStringLiteral("setup"), tmp_->path()};
    if (hardened_)
        setupArgs << QStringLiteral("--hardened");
    setup.start(QStringLiteral("bash"), setupArgs);
    QElapsedTimer waited;
    waited.start();
    while (!setup.waitForFinished(100)) {
        // A server that ended (its port taken, say) will never answer.
        if (proc_->state() == QProcess::NotRunning || waited.elapsed() > 120000) {
            setup.kill();
            setup.waitForFinished(5000);
            error_ = QStringLiteral("database server did not come up on port %1").arg(port_);
            return false;
        }
    }
    if (setup.exitStatus() != QProcess::NormalExit || setup.exitCode() != 0) {
        error_ = QStringLiteral("database server did not come up on port %1").arg(port_);
        return false;
    }
    return true;
}

void TestServer::stop()
{
    if (QSqlDatabase::contains(adminName_))
        QSqlDatabase::database(adminName_, false).close();
    if (!proc_)
        return;
    if (proc_->state() != QProcess::NotRunning) {
        proc_->terminate();
        if (!proc_->waitForFinished(20000)) {
            proc_->kill();
            proc_->waitForFinished(5000);
        }
    }
    proc_.reset();
}

QSqlDatabase TestServer::adminConnectionTo(const QString& name) const
{
    QSqlDatabase db = connectionTo(name, host(), port_);
    if (hardened_ && tmp_) {
        // root logs in through the socket only.
        db.setHostName(QStringLiteral("localhost"));
        db.setConnectOptions(QStringLiteral("UNIX_SOCKET=") + tmp_->path() + QStringLiteral("/sock"));
    }
    return db;
}

QSqlDatabase TestServer::admin()
{
    QSqlDatabase db = QSqlDatabase::database(adminName_, false);
    if (!db.isOpen())
        db.open();
    return db;
}

bool TestServer::exec(const QString& sql, QString* err)
{
    return exec(sql, {}, err);
}

bool TestServer::exec(const QString& sql, const QVariantList& values, QString* err)
{
    QSqlQuery q(admin());
    bool ok = values.isEmpty() ? q.exec(sql) : q.prepare(sql);
    if (ok && !values.isEmpty()) {
        for (const QVariant& v : values)
            q.addBindValue(v);
        ok = q.exec();
    }
    if (!ok && err)
        *err = q.lastError().text();
    return ok;
}

QVariant TestServer::scalar(const QString& sql, const QVariantList& values)
{
    QSqlQuery q(admin());
    // Without values the statement runs unprepared: the text protocol hands
    // DATETIME values over the same way in every version of the client library.
    if (values.isEmpty())
        return q.exec(sql) && q.next() ? q.value(0) : QVariant();
    if (!q.prepare(sql))
        return {};
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (!q.exec() || !q.next())
        return {};
    return q.value(0);
}

bool TestServer::runFile(const QString& path)
{
    if (!ownsServers())
        return runStatements(path);
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.setStandardInputFile(path);
    p.start(QStringLiteral("mariadb"), {QStringLiteral("--no-defaults"),
                                        QStringLiteral("--socket=") + tmp_->path() + QStringLiteral("/sock"),
                                        QStringLiteral("-uroot"), QStringLiteral("-p604918")});
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool TestServer::loadSchema()
{
    return runFile(QStringLiteral(SMS_SOURCE_DIR "/db/schema.sql"));
}

bool TestServer::resetData()
{
    for (const char* t : {"customers", "submit", "charge", "sysPara", "seqcounter"})
        if (!exec(QStringLiteral("truncate table %1").arg(QLatin1String(t))))
            return false;
    if (!hardened_)
        return true;
    QStringList tables;
    {
        QSqlQuery q(admin());
        if (!q.exec(QStringLiteral("select table_name from information_schema.tables "
                                   "where table_schema='sms_api' and table_type='BASE TABLE'")))
            return false;
        while (q.next())
            tables << q.value(0).toString();
    }
    for (const QString& t : tables)
        if (!exec(QStringLiteral("truncate table sms_api.`%1`").arg(t)))
            return false;
    return true;
}
