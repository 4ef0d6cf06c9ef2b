#include "data/uDM.h"

#include "app/uSendRules.h"
#include "app/uUi.h"

#include <QElapsedTimer>
#include <QHash>
#include <QLocale>
#include <QRandomGenerator>
#include <QSqlRecord>
#include <QThread>
#include <atomic>
#include <cmath>
#include <limits>

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

bool isIdentStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_');
}
bool isIdentChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// Placeholder names of a statement, keyed by their lower-case form, with the
// spelling the statement uses (Qt binds names case-sensitively).
QHash<QString, QString> placeholders(const QString& sql)
{
    QHash<QString, QString> out;
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
            const QString name = sql.mid(i + 1, j - i - 1);
            out.insert(name.toLower(), name);
            i = j - 1;
        }
    }
    return out;
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
            lost = !ping.exec(QStringLiteral("do 1")) && isConnectionLost(ping.lastError());
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
    if (!db.open()) {
        lastError_ = db.lastError();
        return false;
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
        return false;
    }
    reopenGaveUp_ = false;
    return true;
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
    auto fail = [&](const QSqlError& e) {
        noteError(e);
        if (err)
            *err = e;
        return false;
    };
    // A statement on a closed connection opens it first; failing that, the statement fails.
    if (!IsConnected() && !openConn())
        return fail(lastError_);
    if (!q.prepare(sql))
        return fail(q.lastError());
    const QHash<QString, QString> names = placeholders(sql);
    for (const TSqlParam& p : params) {
        const auto it = names.constFind(p.name.toLower());
        if (it == names.constEnd())
            return fail(QSqlError(QStringLiteral("parameter %1 not found").arg(p.name), QString(),
                                  QSqlError::StatementError));
        const bool nullText = p.value.typeId() == QMetaType::QString && p.value.toString().isNull();
        q.bindValue(QLatin1Char(':') + it.value(), nullText ? QVariant(QStringLiteral("")) : p.value);
    }
    // A placeholder without a value would silently go out as NULL.
    for (auto it = names.constBegin(); it != names.constEnd(); ++it) {
        bool given = false;
        for (const TSqlParam& p : params)
            given = given || p.name.toLower() == it.key();
        if (!given)
            return fail(QSqlError(QStringLiteral("parameter %1 has no value").arg(it.value()), QString(),
                                  QSqlError::StatementError));
    }
    if (!q.exec())
        return fail(q.lastError());
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
    if (!Exec(q, QStringLiteral("select seq('one')"), {}, err))
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
    para.DefaultLimitRate = FallbackLimitRate;
    para.Notice = QStringLiteral("欢迎使用本系统");
    QSqlQuery q(conn());
    if (!Exec(q, QStringLiteral("select * from sysPara")))
        return;
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
    EnsureConnected();
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
    return runTries([&] { return submitOnce(batch, appoint, bytes, id); });
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

bool TDM::runTries(const std::function<TTry()>& once)
{
    int waits = 0;
    bool reconnected = false;
    for (int attempt = 1;; ++attempt) {
        const TTry r = once();
        if (r == TTry::Done || r == TTry::Failed)
            return r == TTry::Done;
        if (r == TTry::Lost) {
            // COMMIT never went out, so the server keeps nothing of the try:
            // it runs again at once on a new connection (behind a proxy, on
            // the node that takes over), once per operation, and not when the
            // server has already been waited for in vain.
            if (reconnected || reopenGaveUp_ || !reopenLost())
                return false;
            reconnected = true;
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
    {
        // A statement bigger than the server takes would only cost the
        // connection; it is refused here, before anything is charged.
        QSqlQuery q(conn());
        if (!Exec(q, QStringLiteral("select @@max_allowed_packet"), {}, &err) || !q.next())
            return tryAgain(err);
        const qint64 limit = q.value(0).toLongLong();
        if (bytes + PacketHeadroom > limit) {
            submitRefusal_ =
                QStringLiteral("本批短信提交时约需 %1 MB，超过了数据库服务器单次提交的上限 %2 MB"
                               "（max_allowed_packet = %3 字节），未提交，也未扣费。"
                               "请把号码列表分成几批，分别发送。")
                    .arg(Megabytes(bytes + PacketHeadroom), Megabytes(limit), QString::number(limit));
            return TTry::Failed;
        }
    }
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
    // The first statement must find a live connection: an open handle may
    // stand for a connection that the server dropped while the client was idle.
    EnsureConnected();
    return runTries([&] { return rechargeOnce(contributor, customer, amount); });
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
