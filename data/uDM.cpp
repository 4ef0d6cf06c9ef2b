#include "data/uDM.h"

#include "app/uSendRules.h"
#include "app/uUi.h"
#include "data/uServiceCa.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSqlDriver>
#include <QHash>
#include <QLocale>
#include <QRandomGenerator>
#include <QSqlRecord>
#include <QThread>
#include <atomic>
#include <cmath>
#include <limits>
#include <mysql.h>

TDM* DM = nullptr;

namespace {

std::atomic<int> g_connCounter{0};

const QString kConnectFailed = QStringLiteral("网络异常，数据库连接失败");
const QString kConnectCaption = QStringLiteral("连接异常");
const QString kInvalidLogin = QStringLiteral("用户名或密码无效");
const QString kNotConnected = QStringLiteral("数据库连接异常");

// The connection's options. Found rows: an update that leaves a value as it
// was still counts its row. Read and write time-outs keep a hung server from
// blocking the window for good.
const QString kConnectOptions =
    QStringList{QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=15"), QStringLiteral("MYSQL_OPT_READ_TIMEOUT=60"),
                QStringLiteral("MYSQL_OPT_WRITE_TIMEOUT=60"), QStringLiteral("CLIENT_FOUND_ROWS")}
        .join(QLatin1Char(';'));

// Where the system keeps its CA certificates: used when the build names no
// CA of the service's own.
constexpr const char* kSystemCaPath = "/etc/ssl/certs";

// Whether the connection is encrypted, as the client library under the
// driver tells (its handle is the MYSQL of the connection).
bool isEncrypted(const QSqlDatabase& db)
{
    const QVariant h = db.driver() ? db.driver()->handle() : QVariant();
    // Qt names the type as its headers spell it: MYSQL* or st_mysql*.
    if (!h.isValid() || (qstrcmp(h.typeName(), "MYSQL*") != 0 && qstrcmp(h.typeName(), "st_mysql*") != 0))
        return false;
    MYSQL* mysql = *static_cast<MYSQL* const*>(h.constData());
    return mysql && mysql_get_ssl_cipher(mysql) != nullptr;
}

bool isIdentStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_');
}
bool isIdentChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// Calls f(start, length, name) for each placeholder (":name" outside quoted
// text) of a statement, in order.
template <class F> void scanPlaceholders(const QString& sql, F&& f)
{
    QChar quote;
    for (qsizetype i = 0; i < sql.size(); ++i) {
        const QChar c = sql.at(i);
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else if (c == QLatin1Char('\\') && quote != QLatin1Char('`'))
                ++i;
            continue;
        }
        if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`')) {
            quote = c;
        } else if (c == QLatin1Char(':') && i + 1 < sql.size() && isIdentStart(sql.at(i + 1))) {
            qsizetype j = i + 1;
            while (j < sql.size() && isIdentChar(sql.at(j)))
                ++j;
            f(i, j - i, sql.mid(i + 1, j - i - 1));
            i = j - 1;
        }
    }
}

// Placeholder names of a statement, keyed by their lower-case form, with the
// spelling the statement uses (Qt binds names case-sensitively).
QHash<QString, QString> placeholders(const QString& sql)
{
    QHash<QString, QString> out;
    scanPlaceholders(sql,
                     [&](qsizetype, qsizetype, const QString& name) { out.insert(name.toLower(), name); });
    return out;
}

// Parameters up to this size (bytes of their literals) may go inside the
// statement's text; larger ones are bound.
constexpr qsizetype kInlineLimit = 64 * 1024;

// A value as an SQL literal: text as a hex literal of its UTF-8 bytes (which
// needs no escaping, whatever the server's mode), whole numbers in decimal,
// bytes as a binary hex literal. False for any other type: such a statement
// is prepared and its values bound.
bool sqlLiteral(const QVariant& v, QString& out)
{
    if (!v.isValid()) {
        out = QStringLiteral("NULL");
        return true;
    }
    switch (v.metaType().id()) {
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        const bool text = v.metaType().id() == QMetaType::QString;
        const QByteArray bytes = text ? v.toString().toUtf8() : v.toByteArray();
        if (text && bytes.isEmpty())
            out = QStringLiteral("_utf8mb4''");
        else
            out = QLatin1String(text ? "_utf8mb4 X'" : "X'") + QString::fromLatin1(bytes.toHex()) + QLatin1Char('\'');
        return true;
    }
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
        out = v.isNull() ? QStringLiteral("NULL") : QString::number(v.toLongLong());
        return true;
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        out = v.isNull() ? QStringLiteral("NULL") : QString::number(v.toULongLong());
        return true;
    default:
        return false;
    }
}

// The statement with its values written in as literals, when every value can
// be and together they are small; else false.
bool inlineStatement(const QString& sql, const QHash<QString, QVariant>& values, QString& out)
{
    QHash<QString, QString> literals;
    qsizetype size = 0;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        // A long text or byte string is bound without being looked at (its
        // literal would take at least two characters a unit).
        const int type = it.value().typeId();
        if ((type == QMetaType::QString && it.value().toString().size() > kInlineLimit / 2) ||
            (type == QMetaType::QByteArray && it.value().toByteArray().size() > kInlineLimit / 2))
            return false;
        QString lit;
        if (!sqlLiteral(it.value(), lit))
            return false;
        size += lit.size();
        if (size > kInlineLimit)
            return false;
        literals.insert(it.key(), lit);
    }
    out.clear();
    out.reserve(sql.size() + size);
    qsizetype from = 0;
    bool complete = true;
    scanPlaceholders(sql, [&](qsizetype start, qsizetype length, const QString& name) {
        const auto it = literals.constFind(name.toLower());
        if (it == literals.constEnd()) {
            complete = false;
            return;
        }
        out += QStringView(sql).mid(from, start - from);
        out += it.value();
        from = start + length;
    });
    out += QStringView(sql).mid(from);
    return complete;
}

// The connection is gone: the client lost it (2006, 2013, 2055), or the
// server ended it (4031 idle too long, 1927 killed, 1053 shutting down). The
// server undoes a transaction whose COMMIT it has not received.
bool isConnectionLost(const QSqlError& e)
{
    const QString code = e.nativeErrorCode();
    return code == QLatin1String("2006") || code == QLatin1String("2013") || code == QLatin1String("2055") ||
           code == QLatin1String("4031") || code == QLatin1String("1927") || code == QLatin1String("1053");
}

// A statement's error as the module tells it: over TLS, a connection that the
// server has dropped fails in the TLS layer (2026) where a plain one gives
// 2013; on a connection that was open, that is a lost connection too.
QSqlError statementError(const QSqlError& e)
{
    if (e.nativeErrorCode() != QLatin1String("2026"))
        return e;
    return QSqlError(e.driverText(), e.databaseText(), e.type(), QStringLiteral("2013"));
}

// A deadlock (also a cluster's conflict between two nodes) or a lock-wait
// time-out: the server has undone the statement or the whole transaction, and
// the transaction may well succeed when run again.
bool isRetryable(const QSqlError& e)
{
    const QString code = e.nativeErrorCode();
    return code == QLatin1String("1213") || code == QLatin1String("1205");
}

void pauseBeforeRetry()
{
    QThread::msleep(QRandomGenerator::global()->bounded(TDM::RetryPauseMinMs, TDM::RetryPauseMaxMs + 1));
}

qint64 utf8Bytes(const QString& s)
{
    qint64 n = 0;
    const QChar* p = s.constData();
    const QChar* const end = p + s.size();
    for (; p != end; ++p) {
        const char16_t u = p->unicode();
        if (u < 0x80)
            n += 1;
        else if (u < 0x800)
            n += 2;
        else if (QChar::isHighSurrogate(u) && p + 1 != end && QChar::isLowSurrogate((p + 1)->unicode())) {
            n += 4;
            ++p;
        } else
            n += 3;
    }
    return n;
}

// What the user is told when the server refused a batch's insert because it
// would have had to cut or alter a value (the session runs in strict mode).
QString storeRefusal(const QSqlError& e)
{
    const QString code = e.nativeErrorCode();
    if (code == QLatin1String("1366"))
        return QStringLiteral("短信内容或号码中含有数据库不能原样保存的字符（例如表情符号），本批未提交，"
                              "也未扣费。请删除这些字符后再发送。");
    if (code == QLatin1String("1406") || code == QLatin1String("1265"))
        return QStringLiteral("短信内容或号码列表超出了数据库能保存的长度，本批未提交，也未扣费。"
                              "请缩短内容，或把号码列表分成几批分别发送。");
    return {};
}

} // namespace

TDM::TDM() : connName_(QStringLiteral("conn%1").arg(g_connCounter.fetch_add(1)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), connName_);
    db.setHostName(host_);
    db.setPort(port_);
    db.setUserName(QString::fromLatin1(DbUser));
    db.setPassword(QString::fromLatin1(DbPassword));
    db.setDatabaseName(QString::fromLatin1(DbName));
    db.setConnectOptions(kConnectOptions);
}

TDM::~TDM()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connName_, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(connName_);
}

QSqlDatabase TDM::conn() const
{
    return QSqlDatabase::database(connName_, false);
}

void TDM::SetServer(const QString& host, int port)
{
    if (host == host_ && port == port_)
        return;
    host_ = host;
    port_ = port;
    Close();
}

void TDM::Close()
{
    QSqlDatabase db = conn();
    if (db.isOpen())
        db.close();
    mode_ = TDbMode::None;
}

void TDM::Logout()
{
    if (Hardened() && IsConnected()) {
        QSqlQuery q(conn());
        Exec(q, QStringLiteral("call logout()"));
    }
    sessionName_.clear();
    sessionPassword_.clear();
    sessionStale_ = false;
}

void TDM::noteError(const QSqlError& e)
{
    lastError_ = e;
    if (isConnectionLost(e))
        Close(); // the next EnsureConnected opens a fresh connection
}

bool TDM::EnsureConnected()
{
    QSqlDatabase db = conn();
    bool ok = db.isValid();
    if (ok) {
        // Equal values leave an open connection as it is.
        if (db.hostName() != host_ || db.port() != port_) {
            db.close();
            db.setHostName(host_);
            db.setPort(port_);
        }
        bool lost = false;
        if (db.isOpen()) {
            // An open handle may stand for a connection the server has dropped.
            QSqlQuery ping(db);
            lost = !ping.exec(QStringLiteral("do 1")) && isConnectionLost(statementError(ping.lastError()));
        }
        if (lost)
            reopenLost();
        else if (!db.isOpen())
            openConn();
        ok = db.isOpen();
    }
    if (!ok)
        ShowMessage(kConnectFailed, kConnectCaption, TMsgIcon::Error);
    return ok;
}

bool TDM::openConn()
{
    QSqlDatabase db = conn();
    if (db.hostName() != host_ || db.port() != port_) {
        db.close();
        db.setHostName(host_);
        db.setPort(port_);
    }
    if (db.isOpen())
        return true;
    mode_ = TDbMode::None;
    const QString server = host_ + QLatin1Char(':') + QString::number(port_);
    // A server that denied the client account before is asked with the
    // legacy account first: a reconnect (a failover behind a proxy, say)
    // then takes one login, not two. Should it deny that account, it is
    // asked as a hardened one again.
    const bool knownLegacy = legacyServers_.contains(server) && !hardenedServers_.contains(server);
    if (knownLegacy && openLegacy(db)) {
        mode_ = TDbMode::Legacy;
    } else if (knownLegacy && db.lastError().nativeErrorCode() != QLatin1String("1045")) {
        lastError_ = db.lastError();
        return false;
    } else if (!openHardened(db)) {
        // Only a server that denies the client account is taken for a legacy
        // one; every other failure (no server, TLS refused, a locked account)
        // is a failure to connect. A server once found hardened is never
        // taken for a legacy one again.
        if (lastError_.nativeErrorCode() != QLatin1String("1045") || hardenedServers_.contains(server))
            return false;
        if (!openLegacy(db)) {
            lastError_ = db.lastError();
            return false;
        }
        legacyServers_.insert(server);
        mode_ = TDbMode::Legacy;
    } else {
        hardenedServers_.insert(server);
        mode_ = TDbMode::Hardened;
    }
    // The transactions of a send and a recharge run read committed. Strict
    // mode: a value that the server would have to cut or alter to store it (a
    // text longer than its column, a character that the column's character
    // set lacks, a number out of range) fails its statement instead of being
    // stored altered, whatever the server's own sql_mode; on a server that is
    // strict already nothing changes.
    QSqlQuery s(db);
    if (!s.exec(QStringLiteral("set session transaction isolation level read committed")) ||
        !s.exec(QStringLiteral(
            "set session sql_mode=concat_ws(',',nullif(@@session.sql_mode,''),'STRICT_ALL_TABLES')"))) {
        lastError_ = s.lastError();
        db.close();
        mode_ = TDbMode::None;
        return false;
    }
    reopenGaveUp_ = false;
    // A new connection of a hardened server has no session: the customer who
    // logged in is bound to it again before its first statement.
    sessionStale_ = mode_ == TDbMode::Hardened && !sessionName_.isEmpty();
    return true;
}

bool TDM::openHardened(QSqlDatabase& db)
{
    db.setUserName(QString::fromLatin1(ClientUser));
    db.setPassword(QString::fromLatin1(ClientPassword));
    db.setDatabaseName(QString::fromLatin1(ApiDbName));
    // With a CA the client library encrypts and checks the server's
    // certificate chain (not its name: the driver offers no such option).
    const QString ca = caFile();
    db.setConnectOptions(kConnectOptions + QLatin1Char(';') +
                         (ca.isEmpty() ? QStringLiteral("SSL_CAPATH=") + QString::fromLatin1(kSystemCaPath)
                                       : QStringLiteral("SSL_CA=") + ca));
    if (!db.open()) {
        lastError_ = db.lastError();
        return false;
    }
    // Against a server without TLS the client library connects in plain text
    // without a word: such a connection is refused here.
    if (!isEncrypted(db)) {
        lastError_ = QSqlError(QStringLiteral("the database server does not encrypt the connection"),
                               QStringLiteral("the client account is used over TLS only"),
                               QSqlError::ConnectionError, QStringLiteral("2026"));
        db.close();
        return false;
    }
    return true;
}

bool TDM::openLegacy(QSqlDatabase& db)
{
    db.setUserName(QString::fromLatin1(DbUser));
    db.setPassword(QString::fromLatin1(DbPassword));
    db.setDatabaseName(QString::fromLatin1(DbName));
    db.setConnectOptions(kConnectOptions);
    return db.open();
}

QString TDM::caFile()
{
    if (!caFile_.isEmpty())
        return caFile_;
    // The client library reads the CA from a file: the built-in one is
    // written to a file of the module's own, once.
    if (!builtInCa_) {
        const QByteArray pem = BuiltInServiceCa();
        if (pem.trimmed().isEmpty())
            return {};
        auto f = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/korvessa-ca-XXXXXX.pem"));
        if (!f->open() || f->write(pem) != pem.size() || !f->flush())
            return {};
        f->close();
        builtInCa_ = std::move(f);
    }
    return builtInCa_->fileName();
}

void TDM::SetServerCa(const QString& caFile)
{
    if (caFile == caFile_)
        return;
    caFile_ = caFile;
    Close();
}

bool TDM::reopenLost()
{
    Close();
    QElapsedTimer waited;
    waited.start();
    while (!openConn()) {
        if (waited.elapsed() >= ReconnectWaitMs) {
            reopenGaveUp_ = true;
            return false;
        }
        QThread::msleep(ReconnectPauseMs);
    }
    return true;
}

bool TDM::IsConnected() const
{
    return conn().isOpen();
}

bool TDM::Exec(QSqlQuery& q, const QString& sql, const TSqlParams& params, QSqlError* err)
{
    return execStatement(q, sql, params, err, TSend::Either);
}

bool TDM::execStatement(QSqlQuery& q, const QString& sql, const TSqlParams& params, QSqlError* err, TSend send)
{
    auto fail = [&](const QSqlError& e) {
        noteError(e);
        if (err)
            *err = e;
        return false;
    };
    // A statement on a closed connection opens it first; failing that, the statement fails.
    if (!IsConnected() && !openConn())
        return fail(lastError_);
    bindIfStale();
    const QHash<QString, QString> names = placeholders(sql);
    QHash<QString, QVariant> values; // by lower-case name
    for (const TSqlParam& p : params) {
        const QString key = p.name.toLower();
        if (!names.contains(key))
            return fail(QSqlError(QStringLiteral("parameter %1 not found").arg(p.name), QString(),
                                  QSqlError::StatementError));
        const bool nullText = p.value.typeId() == QMetaType::QString && p.value.toString().isNull();
        values.insert(key, nullText ? QVariant(QStringLiteral("")) : p.value);
    }
    // A placeholder without a value would silently go out as NULL.
    for (auto it = names.constBegin(); it != names.constEnd(); ++it) {
        if (!values.contains(it.key()))
            return fail(QSqlError(QStringLiteral("parameter %1 has no value").arg(it.value()), QString(),
                                  QSqlError::StatementError));
    }
    // On a hardened server a prepared statement costs three round trips
    // (prepare, reset, execute) and the server opens its views twice; one
    // with small values goes as text, its values written in as literals.
    QString text;
    if (send == TSend::Either && Hardened() && inlineStatement(sql, values, text)) {
        if (!q.exec(text))
            return fail(statementError(q.lastError()));
        return true;
    }
    if (!q.prepare(sql))
        return fail(statementError(q.lastError()));
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        q.bindValue(QLatin1Char(':') + names.value(it.key()), it.value());
    if (!q.exec())
        return fail(statementError(q.lastError()));
    return true;
}

bool TDM::ExecuteSql(const QString& sql, const TSqlParams& params, QSqlError& err)
{
    QSqlQuery q(conn());
    return Exec(q, sql, params, &err);
}

bool TDM::TryExecuteSql(const QString& sql, const TSqlParams& params)
{
    QSqlError ignored;
    return ExecuteSql(sql, params, ignored);
}

bool TDM::NextSubmitId(int& id)
{
    return nextSubmitId(id, nullptr);
}

bool TDM::nextSubmitId(int& id, QSqlError* err)
{
    EnsureConnected();
    QSqlQuery q(conn());
    // Prepared: a select whose function writes, sent as text to a cluster
    // that then refuses the write at its commit, was seen to come back after
    // a minute without its row (a few sends in a thousand).
    if (!execStatement(q, QStringLiteral("select seq('one')"), {}, err, TSend::Prepared))
        return false;
    if (!q.next()) {
        if (err)
            *err = QSqlError(QStringLiteral("no batch number"), QString(), QSqlError::UnknownError);
        return false;
    }
    id = q.value(0).toInt();
    return true;
}

bool TDM::GetServerTime(QDateTime& now, QSqlError* err)
{
    // The server writes the time out itself: how a client library hands a
    // DATETIME to a prepared statement differs between its versions.
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("select ") + ServerTimeText(QStringLiteral("now()")) + QLatin1Char(';'), {},
              err))
        return false;
    QDateTime t;
    if (q.next())
        t = WallClockValue(q.value(0));
    if (!t.isValid()) {
        if (err)
            *err = QSqlError(QStringLiteral("no readable server time"), QString(), QSqlError::UnknownError);
        return false;
    }
    now = t;
    return true;
}

QStringList CommaTextItems(const QString& list)
{
    QStringList items;
    const qsizetype n = list.size();
    auto isSep = [](QChar c) { return c.unicode() >= 1 && c.unicode() <= 32; };
    qsizetype i = 0;
    while (i < n && isSep(list.at(i)))
        ++i;
    if (i >= n)
        return items;
    for (;;) {
        QString item;
        if (i < n && list.at(i) == QLatin1Char('"')) {
            ++i;
            while (i < n) {
                if (list.at(i) == QLatin1Char('"')) {
                    if (i + 1 < n && list.at(i + 1) == QLatin1Char('"')) {
                        item += QLatin1Char('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += list.at(i++);
            }
        } else {
            const qsizetype b = i;
            while (i < n && list.at(i) != QLatin1Char(',') && !isSep(list.at(i)))
                ++i;
            item = list.mid(b, i - b);
        }
        items << item;
        while (i < n && isSep(list.at(i)))
            ++i;
        if (i >= n)
            break;
        if (list.at(i) == QLatin1Char(',')) {
            ++i;
            if (i >= n) {
                items << QString(); // a comma at the very end adds an empty item
                break;
            }
            while (i < n && isSep(list.at(i)))
                ++i;
            if (i >= n) {
                items << QString();
                break;
            }
        }
    }
    return items;
}

bool TDM::IsInCommaList(const QString& value, const QString& list)
{
    const QStringList items = CommaTextItems(list);
    for (const QString& item : items)
        if (QString::compare(item, value, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

bool TDM::SameTextOrEmpty(const QString& text, const QString& other)
{
    if (text.isEmpty())
        return true;
    if (text.size() != other.size())
        return false;
    auto fold = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') ? char16_t(u - 32) : u;
    };
    for (qsizetype i = 0; i < text.size(); ++i)
        if (fold(text.at(i)) != fold(other.at(i)))
            return false;
    return true;
}

qint64 TDM::BalanceValue(const QVariant& v)
{
    if (v.isNull())
        return 0;
    switch (v.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
        return v.toLongLong();
    case QMetaType::ULongLong: {
        const qulonglong u = v.toULongLong();
        return u > qulonglong(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                  : qint64(u);
    }
    default:
        break;
    }
    bool ok = false;
    const QString text = v.toString();
    const qint64 whole = text.toLongLong(&ok);
    if (ok)
        return whole;
    const double d = std::trunc(v.toDouble());
    if (!std::isfinite(d))
        return 0;
    if (d >= 9.2233720368547758e18)
        return std::numeric_limits<qint64>::max();
    if (d <= -9.2233720368547758e18)
        return std::numeric_limits<qint64>::min();
    return qint64(d);
}

// --- customer account queries ---

void TDM::LoadSystemParameters(TPara& para)
{
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("select * from sysPara"))) {
        para.DefaultLimitRate = FallbackLimitRate;
        para.Notice = QStringLiteral("欢迎使用本系统");
        return;
    }
    readSystemParameters(q, para);
}

void TDM::readSystemParameters(QSqlQuery& q, TPara& para)
{
    para.DefaultLimitRate = FallbackLimitRate;
    para.Notice = QStringLiteral("欢迎使用本系统");
    const QSqlRecord rec = q.record();
    const int nameCol = rec.indexOf(QStringLiteral("name"));
    const int valueCol = rec.indexOf(QStringLiteral("value"));
    if (nameCol < 0 || valueCol < 0)
        return;
    auto is = [](const QString& a, const char* b) {
        return QString::compare(a, QLatin1String(b), Qt::CaseInsensitive) == 0;
    };
    while (q.next()) {
        const QString name = q.value(nameCol).toString();
        const QString value = q.value(valueCol).toString();
        if (is(name, "defaultlimitrate")) {
            // A plain decimal number: the point, or the system's decimal
            // separator; a thousands separator makes it no number ("1,500"
            // would otherwise read as 1500 where the comma is the decimal sign).
            const QString t = value.trimmed();
            QLocale c = QLocale::c();
            c.setNumberOptions(QLocale::RejectGroupSeparator);
            QLocale sys = QLocale::system();
            sys.setNumberOptions(QLocale::RejectGroupSeparator);
            bool ok = false;
            double d = c.toDouble(t, &ok);
            if (!ok)
                d = sys.toDouble(t, &ok);
            para.DefaultLimitRate = (ok && std::isfinite(d)) ? d : FallbackLimitRate;
        } else if (is(name, "bookingNotice")) {
            para.BookingNotice = value;
        } else if (is(name, "customerNotice")) {
            para.Notice = value;
        } else if (is(name, "softerVer")) {
            para.ServerVersion = value;
            para.VersionMessage =
                QStringLiteral("当前程序版本【%1】已不再使用，请联系客服获取新版本").arg(ClientVersion);
        }
    }
    if (q.lastError().isValid())
        noteError(q.lastError());
}

bool TDM::VerifyLogin(const QString& name, const QString& password, QString& message)
{
    message = kInvalidLogin;
    EnsureConnected();
    if (!IsConnected()) {
        message = kNotConnected;
        return false;
    }
    if (Hardened())
        return hardenedLogin(name, password, message);
    LoadSystemParameters(Para);
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("select * from customers where customername=:customername"),
              {{QStringLiteral("customername"), name}}))
        return false;
    if (!q.next())
        return false;
    if (!SamePassword(q.value(QStringLiteral("password")).toString(), password, TPasswordMatch::Exact))
        return false;
    Para.Grade = q.value(QStringLiteral("customerGrade")).toInt();
    Para.CompanyId = q.value(QStringLiteral("companyId")).toString();
    return true;
}

bool TDM::CustomerExists(const QString& name)
{
    EnsureConnected();
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("select customername from customers where customername=:customername"),
              {{QStringLiteral("customername"), name}}))
        return true; // when the test cannot run, the name counts as taken
    return q.next();
}

bool TDM::ChangePassword(const QString& name, const QString& oldPassword, const QString& newPassword)
{
    refusal_ = 0;
    EnsureConnected();
    if (hardenedPath()) {
        // The session's customer; the routine compares the old password exactly.
        if (!callRoutine(QStringLiteral("call change_password(:old,:new)"),
                         {{QStringLiteral("old"), oldPassword}, {QStringLiteral("new"), newPassword}}))
            return false;
        sessionPassword_ = newPassword; // a new connection logs in with it
        return true;
    }
    QString matchedId;
    {
        // Only the rows of that name (the column compares without letter case);
        // the comparisons below still decide, and the last matching row wins.
        QSqlQuery q(conn());
        if (!Exec(q,
                  QStringLiteral("select customerid,customername,password from customers "
                                 "where customername=:customername"),
                  {{QStringLiteral("customername"), name}}))
            return false;
        while (q.next()) {
            if (QString::compare(q.value(1).toString(), name, Qt::CaseInsensitive) == 0 &&
                SamePassword(q.value(2).toString(), oldPassword, TPasswordMatch::IgnoreCase))
                matchedId = q.value(0).toString();
        }
    }
    if (matchedId.isEmpty())
        return false;
    bool ok = false;
    const int id = matchedId.toInt(&ok);
    if (!ok)
        return false;
    QSqlQuery u(conn());
    return Exec(u, QStringLiteral("update customers set password=:password where customerid=:customerid"),
                {{QStringLiteral("password"), newPassword}, {QStringLiteral("customerid"), id}});
}

bool TDM::lookupBalance(const QString& name, qint64& balance)
{
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("select smscount from customers where customername=:customername"),
              {{QStringLiteral("customername"), name}}))
        return false;
    if (!q.next())
        return false;
    balance = BalanceValue(q.value(0));
    return true;
}

qint64 TDM::GetBalance(const QString& name)
{
    EnsureConnected();
    qint64 balance = 0;
    if (!lookupBalance(name, balance))
        return 0;
    return balance;
}

bool TDM::TryGetBalance(const QString& name, qint64& balance)
{
    EnsureConnected();
    qint64 value = 0;
    if (!lookupBalance(name, value))
        return false;
    balance = value;
    return true;
}

bool TDM::GetLimitRate(const QString& name, int& rate)
{
    rate = 0;
    EnsureConnected();
    if (!IsConnected())
        return false;
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("select limitrate from customers where customername=:customername"),
              {{QStringLiteral("customername"), name}}))
        return false;
    if (!q.next())
        return false;
    rate = q.value(0).toInt();
    return true;
}

// --- balance transactions ---

qint64 TDM::BatchStatementBytes(const TSmsRec& batch)
{
    return utf8Bytes(batch.PhonesText) + utf8Bytes(batch.TestPhonesText) + utf8Bytes(batch.Content) +
           utf8Bytes(batch.CustomerName) + StatementOverhead;
}

bool TDM::SubmitBatch(TSmsRec batch)
{
    submitRefusal_.clear();
    refusal_ = 0;
    if (!IsConnected())
        EnsureConnected();
    // A booked time is the server's wall clock, valid in any local zone.
    QDateTime appoint;
    if (!batch.AppointTime.isEmpty()) {
        appoint = ReadWallClock(batch.AppointTime);
        if (!appoint.isValid())
            return false;
    }
    if (batch.PhoneCount < 0 || batch.MsgCount < 0 || batch.PhoneCount > std::numeric_limits<int>::max())
        return false;
    const qint64 bytes = BatchStatementBytes(batch);
    int id = 0; // taken by the first try that gets that far, kept by the others
    return runTries([&] {
        return hardenedPath() ? submitHardened(batch, appoint, bytes, id) : submitOnce(batch, appoint, bytes, id);
    });
}

// What a try that failed before its COMMIT leads to: another try after a
// conflict, a lock-wait time-out or a lost connection, else the operation's
// failure.
TDM::TTry TDM::tryAgain(const QSqlError& e)
{
    if (isConnectionLost(e))
        return TTry::Lost;
    const QString code = e.nativeErrorCode();
    if (code == QLatin1String("1213"))
        return TTry::Retry;
    if (code == QLatin1String("1205"))
        return TTry::Waited;
    return TTry::Failed;
}

bool TDM::hardenedPath() const
{
    // A closed connection has no mode: a path chosen by it would send the
    // legacy statements to whatever server the first of them connects to
    // (behind a proxy, during a failover, a hardened one).
    if (IsConnected())
        return Hardened();
    return hardenedServers_.contains(host_ + QLatin1Char(':') + QString::number(port_));
}

bool TDM::runTries(const std::function<TTry()>& once)
{
    int waits = 0;
    int reconnected = 0;
    for (int attempt = 1;; ++attempt) {
        const TTry r = once();
        if (r == TTry::Done || r == TTry::Failed)
            return r == TTry::Done;
        if (r == TTry::Lost) {
            // COMMIT never went out, so the server keeps nothing of the try:
            // it runs again at once on a new connection (behind a proxy, on
            // the node that takes over), a few times per operation, and not
            // when the server has already been waited for in vain.
            if (reconnected >= LostConnectionTries || reopenGaveUp_ || !reopenLost())
                return false;
            ++reconnected;
            ++reconnects_;
            continue;
        }
        // A lock-wait time-out has already waited the server's whole time-out:
        // fewer tries for those than for conflicts, which end at once.
        if (r == TTry::Waited)
            ++waits;
        if (attempt < TransactionTries && waits < LockWaitTries) {
            ++retries_;
            pauseBeforeRetry();
            continue;
        }
        ++conflictFailures_;
        return false;
    }
}

TDM::TTry TDM::submitOnce(const TSmsRec& batch, const QDateTime& appoint, qint64 bytes, int& id)
{
    QSqlError err;
    // The batch's number is its key: tried again under that number, a batch
    // could never be stored twice.
    if (id == 0 && !nextSubmitId(id, &err))
        return tryAgain(err);
    if (const TTry fits = checkPacket(bytes); fits != TTry::Done)
        return fits;
    QDateTime now;
    if (!GetServerTime(now, &err))
        return tryAgain(err);
    const qint64 cost = BatchCost(batch.PhoneCount, batch.MsgCount);

    QSqlDatabase db = conn();
    if (!db.transaction()) {
        noteError(db.lastError());
        return tryAgain(db.lastError());
    }
    auto abort = [&](const QSqlError& e) {
        db.rollback(); // a failing rollback (connection gone) changes nothing more
        return tryAgain(e);
    };
    {
        // The balance is lowered only where it covers the cost.
        const QString c = QString::number(cost);
        QSqlQuery q(db);
        if (!Exec(q,
                  QStringLiteral("update customers set smscount=smscount-") + c +
                      QStringLiteral(" where customername=:customername and smscount>=") + c,
                  {{QStringLiteral("customername"), batch.CustomerName}}, &err))
            return abort(err);
        if (q.numRowsAffected() < 1)
            return abort(QSqlError());
    }
    {
        QSqlQuery ins(db);
        TSqlParams p;
        p << TSqlParam{QStringLiteral("submitid"), id}
          << TSqlParam{QStringLiteral("phones"), batch.PhonesText}
          << TSqlParam{QStringLiteral("testPhones"), batch.TestPhonesText}
          << TSqlParam{QStringLiteral("content"), batch.Content};
        QString sql;
        if (!batch.AppointTime.isEmpty()) {
            sql = QStringLiteral(
                "insert into submit(submitid,phones,testPhones,content,appointtime,customername,"
                "submittime,phonecount,msgcount) values(:submitid,:phones,:testPhones,:content,"
                ":appointtime,:customerName,:submittime,:phonecount,:msgcount)");
            p << TSqlParam{QStringLiteral("appointtime"), appoint};
        } else {
            sql = QStringLiteral(
                "insert into submit(submitid,phones,testPhones,content,customername,submittime,"
                "phonecount,msgcount) values(:submitid,:phones,:testPhones,:content,"
                ":customerName,:submittime,:phonecount,:msgcount)");
        }
        p << TSqlParam{QStringLiteral("customerName"), batch.CustomerName}
          << TSqlParam{QStringLiteral("submittime"), now}
          << TSqlParam{QStringLiteral("phonecount"), int(batch.PhoneCount)}
          << TSqlParam{QStringLiteral("msgcount"), batch.MsgCount};
        if (!Exec(ins, sql, p, &err)) {
            submitRefusal_ = storeRefusal(err);
            return abort(err);
        }
    }
    if (!db.commit()) {
        const QSqlError e = db.lastError();
        noteError(e);
        if (isRetryable(e))
            return abort(e); // refused at commit (a cluster's conflict): nothing was stored
        // The answer to COMMIT is lost or unclear: the batch may be stored.
        ++lostCommits_;
        db.rollback();
        return confirmSubmitted(id);
    }
    return TTry::Done;
}

TDM::TTry TDM::checkPacket(qint64 bytes)
{
    // A statement bigger than the server takes would only cost the
    // connection; it is refused here, before anything is charged.
    QSqlError err;
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("select @@max_allowed_packet"), {}, &err) || !q.next())
        return tryAgain(err);
    const qint64 limit = q.value(0).toLongLong();
    if (bytes + PacketHeadroom > limit) {
        submitRefusal_ = QStringLiteral("本批短信提交时约需 %1 MB，超过了数据库服务器单次提交的上限 %2 MB"
                                        "（max_allowed_packet = %3 字节），未提交，也未扣费。"
                                        "请把号码列表分成几批，分别发送。")
                             .arg(Megabytes(bytes + PacketHeadroom), Megabytes(limit), QString::number(limit));
        return TTry::Failed;
    }
    return TTry::Done;
}

TDM::TTry TDM::submitHardened(const TSmsRec& batch, const QDateTime& appoint, qint64 bytes, int& id)
{
    QSqlError err;
    // The number comes from the server as in legacy mode; the routine takes
    // only one issued to this customer and not yet used, so a try run again
    // after a conflict or a lost connection keeps it.
    if (id == 0 && !nextSubmitId(id, &err)) {
        noteRefusal(err);
        if (refusal_ == SessionMissing && !sessionName_.isEmpty() && bindSession()) {
            refusal_ = 0;
            return TTry::Retry;
        }
        return tryAgain(err);
    }
    if (const TTry fits = checkPacket(bytes); fits != TTry::Done)
        return fits;
    // The routine counts the lines and segments itself, takes the server's
    // time and deducts only where the balance covers the cost.
    const TSqlParams p{{QStringLiteral("submitid"), id},
                       {QStringLiteral("phones"), batch.PhonesText},
                       {QStringLiteral("testPhones"), batch.TestPhonesText},
                       {QStringLiteral("content"), batch.Content},
                       {QStringLiteral("appoint"), batch.AppointTime.isEmpty() ? QVariant() : QVariant(appoint)},
                       {QStringLiteral("phonecount"), int(batch.PhoneCount)},
                       {QStringLiteral("msgcount"), batch.MsgCount}};
    bool unclear = false;
    const TTry r = callInTransaction(QStringLiteral("call submit_batch(:submitid,:phones,:testPhones,:content,"
                                                    ":appoint,:phonecount,:msgcount)"),
                                     p, err, unclear);
    if (unclear)
        return confirmSubmitted(id);
    if (r == TTry::Failed) {
        submitRefusal_ = refusal_ == NoCover ? QStringLiteral("账户余额不足，请充值后再发送") : RefusalText();
        if (submitRefusal_.isEmpty())
            submitRefusal_ = storeRefusal(err);
    }
    return r;
}

TDM::TTry TDM::callInTransaction(const QString& sql, const TSqlParams& params, QSqlError& err, bool& unclear)
{
    // START TRANSACTION; CALL; COMMIT: the routine runs inside the client's
    // transaction, so a conflict, a lost connection before COMMIT and a lost
    // answer to COMMIT are told apart as in legacy mode.
    unclear = false;
    // A closed connection is opened first, without a message.
    if (!IsConnected() && !openConn())
        return tryAgain(lastError_);
    bindIfStale(); // a login is refused inside a transaction
    QSqlDatabase db = conn();
    if (!db.transaction()) {
        const QSqlError e = statementError(db.lastError());
        noteError(e);
        return tryAgain(e);
    }
    {
        QSqlQuery q(db);
        if (!Exec(q, sql, params, &err)) {
            db.rollback(); // a failing rollback (connection gone) changes nothing more
            noteRefusal(err);
            // A session that has expired is bound again and the call run anew.
            if (refusal_ == SessionMissing && !sessionName_.isEmpty() && bindSession()) {
                refusal_ = 0;
                return TTry::Retry;
            }
            return tryAgain(err);
        }
    }
    if (!db.commit()) {
        const QSqlError e = statementError(db.lastError());
        noteError(e);
        if (isRetryable(e)) {
            db.rollback(); // refused at commit (a cluster's conflict): nothing was stored
            return tryAgain(e);
        }
        ++lostCommits_;
        db.rollback();
        unclear = true;
        return TTry::Failed;
    }
    return TTry::Done;
}

TDM::TTry TDM::confirmSubmitted(int id)
{
    // The batch's number is its key. A locking read waits until the server
    // has finished with the first connection's transaction, committed or not.
    // Behind a proxy the new connection may reach another node of a cluster:
    // there the read first waits until that node has applied what the cluster
    // committed before it (a server without a cluster ignores the setting,
    // one that lacks it refuses it, and the read goes on either way). A
    // connection lost with the answer is opened anew as after any loss: the
    // node that took over answers once the proxy has seen the old one die.
    if (!IsConnected())
        reopenLost();
    QSqlQuery q(conn());
    QSqlError err;
    const bool causal = TryExecuteSql(QStringLiteral("set session wsrep_sync_wait=1"));
    const bool read =
        Exec(q, QStringLiteral("select submitid from submit where submitid=:submitid lock in share mode"),
             {{QStringLiteral("submitid"), id}}, &err);
    const bool found = read && q.next();
    const bool readWhole = read && !q.lastError().isValid();
    q.finish();
    if (causal)
        TryExecuteSql(QStringLiteral("set session wsrep_sync_wait=default"));
    if (found)
        return TTry::Done;
    if (readWhole)
        return TTry::Failed; // not stored, nothing charged
    submitRefusal_ = QStringLiteral("提交时与数据库的连接中断，无法确认本批短信（流水号 %1）是否已经保存。"
                                    "请先在“发送记录”中查看，确认没有这一批后再重新发送，以免重复扣费。")
                         .arg(id);
    return TTry::Failed;
}

bool TDM::Recharge(const QString& contributor, const QString& customer, int amount)
{
    refusal_ = 0;
    // The first statement must find a live connection: an open handle may
    // stand for a connection that the server dropped while the client was idle.
    EnsureConnected();
    // Hardened, the contributor is the session's customer.
    return runTries([&] {
        return hardenedPath() ? rechargeHardened(customer, amount) : rechargeOnce(contributor, customer, amount);
    });
}

TDM::TTry TDM::rechargeHardened(const QString& customer, int amount)
{
    QSqlError err;
    bool unclear = false;
    // A COMMIT without an answer is never run again blindly (see rechargeOnce).
    return callInTransaction(QStringLiteral("call recharge(:child,:amount)"),
                             {{QStringLiteral("child"), customer}, {QStringLiteral("amount"), amount}}, err,
                             unclear);
}

// --- hardened session and routines ---

void TDM::noteRefusal(const QSqlError& e)
{
    bool numeric = false;
    const int code = e.nativeErrorCode().toInt(&numeric);
    if (numeric && code >= FirstRefusal && code <= LastRefusal)
        refusal_ = code;
}

QString TDM::RefusalText(int code)
{
    // Where the legacy path has a text for the same case, it is that text.
    switch (code) {
    case SessionMissing:
        return QStringLiteral("登录已失效，请重新登录后再试。");
    case 50101:
        return kInvalidLogin;
    case 50102:
        return QStringLiteral("该用户连续登录失败的次数过多，已被暂时锁定，请 15 分钟后再试。");
    case WrongOldPassword:
        return QStringLiteral("旧密码有误");
    case NameTaken:
        return QStringLiteral("用户已存在");
    case 50105:
        return QStringLiteral("输入的内容不符合要求（为空、过长或数值无效），数据库拒绝了这次操作。");
    case 50106:
        return QStringLiteral("该用户不是您的直接子账户，不能对其操作。");
    case 50107:
        return QStringLiteral("号码个数或短信条数少于实际内容，本批未提交，也未扣费。");
    case 50108:
        return QStringLiteral("测试号码多于接收号码，本批未提交，也未扣费。");
    case 50109:
        return QStringLiteral("本批短信的流水号无效或已使用，未提交，也未扣费。请重新发送。");
    case NoCover:
        return QStringLiteral("账户余额不足");
    default:
        break;
    }
    return {};
}

bool TDM::callRoutine(const QString& sql, const TSqlParams& params, QSqlError* err)
{
    QSqlError e;
    for (int round = 0;; ++round) {
        QSqlQuery q(conn());
        if (Exec(q, sql, params, &e))
            return true;
        noteRefusal(e);
        // A session that has expired is bound again, and the call run once more.
        if (round == 0 && refusal_ == SessionMissing && !sessionName_.isEmpty() && bindSession()) {
            refusal_ = 0;
            continue;
        }
        if (err)
            *err = e;
        return false;
    }
}

bool TDM::hardenedNow()
{
    // The mode is known once connected: a closed connection is opened first,
    // without a message, as a statement on it would be.
    if (!IsConnected())
        openConn();
    return Hardened();
}

void TDM::bindIfStale()
{
    if (!Hardened())
        return;
    // Once per connection and session: a login that fails is not tried again
    // by every statement (each failure counts toward the name's lock).
    if (sessionStale_) {
        sessionStale_ = false;
        bindSession();
        return;
    }
    // The views read the session without moving its expiry on.
    if (!sessionName_.isEmpty() && sessionTouched_.isValid() && sessionTouched_.elapsed() >= keepAliveMs_) {
        sessionTouched_.start();
        QSqlQuery q(conn());
        q.exec(QStringLiteral("do session_customer_id()")); // a failure shows in the statement that follows
    }
}

void TDM::SetSession(const QString& name, const QString& password)
{
    sessionName_ = name;
    sessionPassword_ = password;
    priorName_.clear();
    priorPassword_.clear();
    sessionStale_ = !name.isEmpty();
}

bool TDM::bindSession(QSqlError* err)
{
    sessionStale_ = false;
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("call login(:name,:password)"),
              {{QStringLiteral("name"), sessionName_}, {QStringLiteral("password"), sessionPassword_}}, err))
        return false;
    sessionTouched_.start();
    return true;
}

bool TDM::hardenedLogin(const QString& name, const QString& password, QString& message)
{
    refusal_ = 0;
    QSqlError err;
    QSqlQuery q(conn());
    // The login and the two reads after it go out in one round trip; the
    // server runs the reads only when the login succeeds.
    const bool together = name.size() + password.size() <= 1024;
    const QString login = QStringLiteral("call login(:name,:password)");
    const QString row = QStringLiteral("select * from customers where customername=:customername");
    const bool bound =
        together
            ? Exec(q, login + QStringLiteral(";select * from sysPara;") + row,
                   {{QStringLiteral("name"), name},
                    {QStringLiteral("password"), password},
                    {QStringLiteral("customername"), name}},
                   &err)
            : Exec(q, login, {{QStringLiteral("name"), name}, {QStringLiteral("password"), password}}, &err);
    if (bound) {
        priorName_ = sessionName_;
        priorPassword_ = sessionPassword_;
        sessionName_ = name;
        sessionPassword_ = password;
        sessionStale_ = false;
        sessionTouched_.start();
    } else {
        noteRefusal(err); // a refused login leaves the session as it was
    }
    if (!bound || !together) {
        q.finish();
        // The system parameters are shown to a session only.
        LoadSystemParameters(Para);
        if (!bound) {
            const QString why = RefusalText();
            message = why.isEmpty() ? kInvalidLogin : why;
            return false;
        }
        if (!Exec(q, row, {{QStringLiteral("customername"), name}}))
            return false;
    } else {
        if (!q.nextResult()) {
            noteError(statementError(q.lastError()));
            return false;
        }
        readSystemParameters(q, Para);
        if (!q.nextResult()) {
            noteError(statementError(q.lastError()));
            return false;
        }
    }
    if (!q.next())
        return false;
    Para.Grade = q.value(QStringLiteral("customerGrade")).toInt();
    Para.CompanyId = q.value(QStringLiteral("companyId")).toString();
    return true;
}

void TDM::RevertLogin()
{
    if (!Hardened())
        return;
    sessionName_ = priorName_;
    sessionPassword_ = priorPassword_;
    priorName_.clear();
    priorPassword_.clear();
    if (sessionName_.isEmpty()) {
        QSqlQuery q(conn());
        Exec(q, QStringLiteral("call logout()"));
    } else {
        bindSession();
    }
}

bool TDM::SetSubAccountPassword(const QString& name, const QString& password)
{
    refusal_ = 0;
    if (hardenedNow())
        return callRoutine(QStringLiteral("call set_child_password(:child,:password)"),
                           {{QStringLiteral("child"), name}, {QStringLiteral("password"), password}});
    return TryExecuteSql(QStringLiteral("update customers set password=:password where customername=:customername"),
                         {{QStringLiteral("password"), password}, {QStringLiteral("customername"), name}});
}

bool TDM::SetSubAccountContact(const QString& name, const QString& phone, const QString& address)
{
    refusal_ = 0;
    if (hardenedNow())
        return callRoutine(QStringLiteral("call set_child_contact(:child,:telphone,:address)"),
                           {{QStringLiteral("child"), name},
                            {QStringLiteral("telphone"), phone},
                            {QStringLiteral("address"), address}});
    return TryExecuteSql(QStringLiteral("update customers set telphone=:telphone, address=:address "
                                        "where customername=:customername"),
                         {{QStringLiteral("telphone"), phone},
                          {QStringLiteral("address"), address},
                          {QStringLiteral("customername"), name}});
}

bool TDM::CreateSubAccount(const QString& name, const QString& password, const QString& phone,
                           const QString& address)
{
    refusal_ = 0;
    if (!hardenedNow())
        return false;
    return callRoutine(QStringLiteral("call create_child(:name,:password,:telphone,:address)"),
                       {{QStringLiteral("name"), name},
                        {QStringLiteral("password"), password},
                        {QStringLiteral("telphone"), phone},
                        {QStringLiteral("address"), address}});
}

TDM::TTry TDM::rechargeOnce(const QString& contributor, const QString& customer, int amount)
{
    QSqlError err;
    QDateTime now;
    if (!GetServerTime(now, &err))
        return tryAgain(err);
    qint64 remain = 0;
    {
        QSqlQuery q(conn());
        if (!Exec(q, QStringLiteral("select smsCount from customers where customername=:customername"),
                  {{QStringLiteral("customername"), customer}}, &err))
            return tryAgain(err);
        if (!q.next())
            return TTry::Failed;
        remain = BalanceValue(q.value(0));
    }
    const qint64 amt = amount;
    const QString a = QString::number(amt);
    // The side that gives credit is changed only where its balance covers the amount.
    const QString giverCover = QStringLiteral(" and smscount>=") + QString::number(amt < 0 ? -amt : amt);
    QSqlDatabase db = conn();
    if (!db.transaction()) {
        noteError(db.lastError());
        return tryAgain(db.lastError());
    }
    auto abort = [&](const QSqlError& e) {
        db.rollback();
        return tryAgain(e);
    };
    auto update = [&](const QString& sql, const QString& name) {
        QSqlQuery q(db);
        if (!Exec(q, sql, {{QStringLiteral("customername"), name}}, &err))
            return false;
        if (q.numRowsAffected() < 1) {
            err = QSqlError();
            return false;
        }
        return true;
    };
    // A balance stored as NULL counts as 0 here as everywhere else: NULL plus
    // an amount would stay NULL and the credit moved to it would be lost.
    if (!update(QStringLiteral("update customers set smscount=ifnull(smscount,0)-") + a +
                    QStringLiteral(" where customername=:customername") + (amt > 0 ? giverCover : QString()),
                contributor))
        return abort(err);
    if (!update(QStringLiteral("update customers set smscount=ifnull(smscount,0)+") + a +
                    QStringLiteral(" where customername=:customername") + (amt < 0 ? giverCover : QString()),
                customer))
        return abort(err);
    {
        QSqlQuery ins(db);
        if (!Exec(ins,
                  QStringLiteral(
                      "insert into charge(customername,remainWhenCharge,chargePoint,contributor,chargeTime)"
                      " values(:customername,:remainWhenCharge,:chargePoint,:contributor,:chargeTime)"),
                  {{QStringLiteral("customername"), customer},
                   {QStringLiteral("remainWhenCharge"), remain},
                   {QStringLiteral("chargePoint"), amount},
                   {QStringLiteral("contributor"), contributor},
                   {QStringLiteral("chargeTime"), now}},
                  &err))
            return abort(err);
    }
    if (!db.commit()) {
        const QSqlError e = db.lastError();
        noteError(e);
        if (isRetryable(e))
            return abort(e); // refused at commit: nothing was stored
        // A recharge has no key to look it up by: whether a COMMIT without an
        // answer took effect is unknown, and it is never run again blindly.
        ++lostCommits_;
        db.rollback();
        return TTry::Failed;
    }
    return TTry::Done;
}
