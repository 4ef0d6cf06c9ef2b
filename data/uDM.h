#pragma once
// The data module: owns the client's only database connection and every
// database operation. Operations report by their result; nothing throws.

#include "app/uDataType.h"
#include "data/uWallClock.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QTemporaryFile>
#include <QVariant>
#include <functional>
#include <memory>

// One named statement parameter. The name is given without the colon and is
// matched against the statement's placeholders without regard to letter case.
struct TSqlParam
{
    QString name;
    QVariant value;
};
using TSqlParams = QList<TSqlParam>;

// How the open connection talks to the service database. Hardened: the
// client account over TLS into the database of routines and views, where the
// server enforces every rule; Legacy: the account with every right, on the
// tables themselves.
enum class TDbMode { None, Legacy, Hardened };

class TDM
{
public:
    static constexpr const char* DefaultHost = "127.0.0.1";
    static constexpr int DefaultPort = 3306;
    static constexpr const char* DbUser = "root";
    static constexpr const char* DbPassword = "604918";
    static constexpr const char* DbName = "sms";
    // The hardened service database: its client account (TLS only) and the
    // database of its routines and views.
    static constexpr const char* ClientUser = "sms_client";
    static constexpr const char* ClientPassword = "Kv-client-2026.sms";
    static constexpr const char* ApiDbName = "sms_api";
    // The first and last of the codes by which the hardened database's
    // routines refuse a call.
    static constexpr int FirstRefusal = 50100;
    static constexpr int LastRefusal = 50110;
    static constexpr int SessionMissing = 50100; // no session, or it has expired
    static constexpr int WrongOldPassword = 50103;
    static constexpr int NameTaken = 50104;
    static constexpr int NoCover = 50110; // the giver's balance does not cover it

    // A balance transaction (a send, a recharge) that the server refuses for a
    // deadlock or a lock-wait time-out (1213, 1205: also what a cluster gives
    // when two nodes change the same row at once) is run again as a whole,
    // with its batch number, after a short random pause: TransactionTries
    // tries in all. One whose connection is lost before its COMMIT went out
    // has committed nothing: it is run again on a new connection, also with
    // its batch number, up to LostConnectionTries new connections for one
    // call (behind a proxy a node that comes back takes the sessions of the
    // one that stood in for it: a try may lose its connection to the failover
    // and the next to the failback). A COMMIT whose answer is lost is never
    // run again.
    // Measured on a three-node cluster with four busy clients: about one call
    // in twenty meets a conflict, and a call run again meets another about two
    // times in five; twelve tries leave a give-up to a few calls in a million.
    // A lock-wait time-out (1205) has already waited the server's whole
    // innodb_lock_wait_timeout; such a transaction is tried LockWaitTries times.
    static constexpr int TransactionTries = 12;
    static constexpr int LockWaitTries = 3;
    static constexpr int LostConnectionTries = 3;
    static constexpr int RetryPauseMinMs = 50;
    static constexpr int RetryPauseMaxMs = 250;
    // A connection found lost is opened anew without a message for up to
    // ReconnectWaitMs, a try every ReconnectPauseMs: behind a proxy, a node
    // that has just died is taken for alive until the proxy's checks have
    // failed twice (about two seconds), and a connection made meanwhile fails.
    static constexpr int ReconnectWaitMs = 5000;
    static constexpr int ReconnectPauseMs = 200;
    // A hardened session's expiry moves on with every call of a routine, not
    // with a read: a connection that only reads tells the server its session
    // is in use at least this often (SetSessionKeepAliveMs: for tests).
    static constexpr int SessionKeepAliveMs = 3600 * 1000;
    void SetSessionKeepAliveMs(int ms) { keepAliveMs_ = ms; }
    // Room kept below the server's max_allowed_packet for what a batch's
    // statement carries besides its texts.
    static constexpr qint64 PacketHeadroom = 64 * 1024;
    // What a batch's insert is counted to carry besides its texts: the
    // statement, the times and the numbers (BatchStatementBytes).
    static constexpr qint64 StatementOverhead = 1024;

    TDM();
    ~TDM();
    TDM(const TDM&) = delete;
    TDM& operator=(const TDM&) = delete;

    // The connection. Pages attach their own list queries to it.
    QSqlDatabase conn() const;
    // Points the module at another server (tests); takes effect at the next connect.
    void SetServer(const QString& host, int port);
    QString Host() const { return host_; }
    int Port() const { return port_; }
    // The CA certificate (PEM file) that a hardened server's certificate must
    // be signed by (tests); empty: the one built into the program.
    void SetServerCa(const QString& caFile);
    void Close();
    // Ends the hardened session (the program's exit); nothing in legacy mode.
    void Logout();
    // The login dialog refused the customer whom the last VerifyLogin admitted
    // (version, company): a hardened connection is bound again to the customer
    // logged in before, or to none.
    void RevertLogin();
    // The customer whom a hardened connection is bound to from its next
    // statement on, without the login dialog (tests, tools); an empty name
    // binds none.
    void SetSession(const QString& name, const QString& password);

    // The mode of the open connection (None while it is closed). The client
    // first logs in as the hardened client account over TLS; only when the
    // server denies that account (1045) does it use the legacy one, and never
    // for a server that it has once found hardened.
    TDbMode Mode() const { return mode_; }
    bool Hardened() const { return mode_ == TDbMode::Hardened; }

    // --- connection and statement helpers ---
    bool EnsureConnected();
    bool IsConnected() const;
    // Prepares sql on q (a query on conn()), binds params by name and executes.
    // On failure the server's error is put in *err; a lost connection is closed
    // so that the next EnsureConnected opens it anew. Text is bound as text:
    // an empty QString goes out as '' even when it is null (Qt would send NULL);
    // only an invalid QVariant binds NULL.
    bool Exec(QSqlQuery& q, const QString& sql, const TSqlParams& params = {}, QSqlError* err = nullptr);
    // How Exec sends a statement: Prepared always, or Either (as text on a
    // hardened server, when its values are small).
    enum class TSend { Either, Prepared };
    // Runs a statement without result and passes a failure on to its caller:
    // false, with the server's error in err, which the caller must take.
    [[nodiscard]] bool ExecuteSql(const QString& sql, const TSqlParams& params, QSqlError& err);
    // Runs a statement without result and only tells whether it ran: a
    // failure yields false and goes no further (LastError() keeps it).
    // Nothing is shown; the caller reports.
    bool TryExecuteSql(const QString& sql, const TSqlParams& params = {});
    bool NextSubmitId(int& id);
    // The server's clock as its wall clock (see uWallClock.h). A failure, or a
    // time that cannot be read, is passed on in *err (false).
    bool GetServerTime(QDateTime& now, QSqlError* err = nullptr);
    static bool IsInCommaList(const QString& value, const QString& list);
    static bool SameTextOrEmpty(const QString& text, const QString& other);

    // --- customer account queries ---
    bool VerifyLogin(const QString& name, const QString& password, QString& message);
    bool CustomerExists(const QString& name);
    bool ChangePassword(const QString& name, const QString& oldPassword, const QString& newPassword);
    qint64 GetBalance(const QString& name);
    bool TryGetBalance(const QString& name, qint64& balance);
    bool GetLimitRate(const QString& name, int& rate);
    void LoadSystemParameters(TPara& para);

    // --- sub-account changes (statements in legacy mode, routines when hardened) ---
    bool SetSubAccountPassword(const QString& name, const QString& password);
    bool SetSubAccountContact(const QString& name, const QString& phone, const QString& address);
    // Hardened mode only: the routine writes the row as the new sub-account
    // dialog's insert does (limit rate, grade, company, time of its own).
    bool CreateSubAccount(const QString& name, const QString& password, const QString& phone,
                          const QString& address);

    // The code by which the hardened database refused the last operation
    // (FirstRefusal..LastRefusal), 0 when it refused nothing; and the user's
    // text for it (empty for 0).
    int Refusal() const { return refusal_; }
    QString RefusalText() const { return RefusalText(refusal_); }
    static QString RefusalText(int code);

    // --- balance transactions ---
    bool SubmitBatch(TSmsRec batch);
    bool Recharge(const QString& contributor, const QString& customer, int amount);
    // Why the last SubmitBatch returned false, in words for the user, where
    // there is more to say than that it failed (a batch too big for the
    // server, a text the database cannot store as it is, an outcome that
    // cannot be confirmed); empty otherwise.
    QString SubmitRefusal() const { return submitRefusal_; }
    // The bytes that a batch's insert carries: its texts in UTF-8 and
    // StatementOverhead.
    static qint64 BatchStatementBytes(const TSmsRec& batch);

    // The last server error seen by an operation (for logs and tests).
    QSqlError LastError() const { return lastError_; }
    // Forgets it, so that the next operation's error can be told from an older one.
    void ClearLastError() { lastError_ = QSqlError(); }
    // Since this module was made (logs, tests, benchmarks): transactions run
    // again after a deadlock or conflict, ones that still met one at their
    // last try, ones run again on a new connection after theirs was lost
    // before COMMIT, and COMMITs whose answer was lost (the outcome of a send
    // was then looked up; that of a recharge is unknown).
    int Retries() const { return retries_; }
    int ConflictFailures() const { return conflictFailures_; }
    int Reconnects() const { return reconnects_; }
    int LostCommits() const { return lostCommits_; }

    // Reads a balance column: as a floating value truncated toward zero, whole
    // numbers of any size exactly; NULL reads as 0.
    static qint64 BalanceValue(const QVariant& v);

private:
    // How one try of a balance transaction ended: Retry after a conflict,
    // Waited after a lock-wait time-out, Lost when the connection was lost
    // before COMMIT went out; all three are run again.
    enum class TTry { Done, Failed, Retry, Waited, Lost };
    static TTry tryAgain(const QSqlError& e);
    // Whether an operation (a try of a send or a recharge) takes the hardened
    // path: the mode of the open connection; for a closed one, whether its
    // server was found hardened before (such a server is never taken for a
    // legacy one again; the path opens the connection itself).
    bool hardenedPath() const;
    bool runTries(const std::function<TTry()>& once);
    TTry submitOnce(const TSmsRec& batch, const QDateTime& appoint, qint64 bytes, int& id);
    TTry confirmSubmitted(int id);
    TTry rechargeOnce(const QString& contributor, const QString& customer, int amount);
    bool nextSubmitId(int& id, QSqlError* err);
    void noteError(const QSqlError& e);
    bool openConn();   // opens conn without a message
    bool reopenLost(); // the same, for a connection found lost: tries again for a while
    bool lookupBalance(const QString& name, qint64& balance);
    bool openHardened(QSqlDatabase& db);
    bool openLegacy(QSqlDatabase& db);
    QString caFile();
    // A routine's CALL (never a result set); a refusal is kept in refusal_.
    // A call refused for want of a session (expired) binds the session again
    // and runs once more.
    bool callRoutine(const QString& sql, const TSqlParams& params, QSqlError* err = nullptr);
    bool bindSession(QSqlError* err = nullptr);
    void bindIfStale();
    bool hardenedNow();
    bool hardenedLogin(const QString& name, const QString& password, QString& message);
    bool execStatement(QSqlQuery& q, const QString& sql, const TSqlParams& params, QSqlError* err, TSend send);
    void readSystemParameters(QSqlQuery& q, TPara& para);
    TTry submitHardened(const TSmsRec& batch, const QDateTime& appoint, qint64 bytes, int& id);
    TTry rechargeHardened(const QString& customer, int amount);
    // unclear: the answer to COMMIT was lost (the result is then Failed).
    TTry callInTransaction(const QString& sql, const TSqlParams& params, QSqlError& err, bool& unclear);
    TTry checkPacket(qint64 bytes);
    void noteRefusal(const QSqlError& e);

    QString connName_;
    QString host_ = QString::fromLatin1(DefaultHost);
    int port_ = DefaultPort;
    QSqlError lastError_;
    QString submitRefusal_;
    int retries_ = 0;
    int conflictFailures_ = 0;
    int reconnects_ = 0;
    int lostCommits_ = 0;
    bool reopenGaveUp_ = false; // no new connection after a loss; until one is made
    TDbMode mode_ = TDbMode::None;
    QSet<QString> hardenedServers_; // "host:port" found hardened in this run
    QSet<QString> legacyServers_;   // "host:port" that denied the client account in this run
    QString caFile_;                // given by SetServerCa
    std::unique_ptr<QTemporaryFile> builtInCa_;
    // The customer of the hardened session, bound again on every new connection.
    QString sessionName_;
    QString sessionPassword_;
    bool sessionStale_ = false;    // the connection is not bound to the session's customer yet
    QElapsedTimer sessionTouched_; // since the session was bound or last kept alive
    int keepAliveMs_ = SessionKeepAliveMs;
    QString priorName_; // the customer before the last login, for RevertLogin
    QString priorPassword_;
    int refusal_ = 0;
};

// The one data module of the program.
extern TDM* DM;

// Parses the comma-text list form: blanks and control characters separate,
// double quotes group, two commas in a row give an empty item.
QStringList CommaTextItems(const QString& list);
