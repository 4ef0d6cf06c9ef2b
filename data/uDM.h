#pragma once
// The data module: owns the client's only database connection and every
// database operation. Operations report by their result; nothing throws.

#include "app/uDataType.h"

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

// One named statement parameter. The name is given without the colon and is
// matched against the statement's placeholders without regard to letter case.
struct TSqlParam
{
    QString name;
    QVariant value;
};
using TSqlParams = QList<TSqlParam>;

class TDM
{
public:
    static constexpr const char* DefaultHost = "127.0.0.1";
    static constexpr int DefaultPort = 3306;
    static constexpr const char* DbUser = "root";
    static constexpr const char* DbPassword = "604918";
    static constexpr const char* DbName = "sms";

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
    void Close();

    // --- connection and statement helpers ---
    bool EnsureConnected();
    bool IsConnected() const;
    // Prepares sql on q (a query on conn()), binds params by name and executes.
    // On failure the server's error is put in *err; a lost connection is closed
    // so that the next EnsureConnected opens it anew. Text is bound as text:
    // an empty QString goes out as '' even when it is null (Qt would send NULL);
    // only an invalid QVariant binds NULL.
    bool Exec(QSqlQuery& q, const QString& sql, const TSqlParams& params = {}, QSqlError* err = nullptr);
    // Runs a statement without result. A failure is passed on in *err (false).
    bool ExecuteSql(const QString& sql, const TSqlParams& params = {}, QSqlError* err = nullptr);
    // Like ExecuteSql; any failure yields false and nothing is shown.
    bool TryExecuteSql(const QString& sql, const TSqlParams& params = {});
    bool NextSubmitId(int& id);
    // A failure is passed on in *err (false).
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

    // --- balance transactions ---
    bool SubmitBatch(TSmsRec batch);
    bool Recharge(const QString& contributor, const QString& customer, int amount);

    // The last server error seen by an operation (for logs and tests).
    QSqlError LastError() const { return lastError_; }
    // Forgets it, so that the next operation's error can be told from an older one.
    void ClearLastError() { lastError_ = QSqlError(); }

    // Reads a balance column: as a floating value truncated toward zero, whole
    // numbers of any size exactly; NULL reads as 0.
    static qint64 BalanceValue(const QVariant& v);

private:
    void noteError(const QSqlError& e);
    bool openConn(); // opens conn without a message
    bool lookupBalance(const QString& name, qint64& balance);

    QString connName_;
    QString host_ = QString::fromLatin1(DefaultHost);
    int port_ = DefaultPort;
    QSqlError lastError_;
};

// The one data module of the program.
extern TDM* DM;

// Parses the comma-text list form: blanks and control characters separate,
// double quotes group, two commas in a row give an empty item.
QStringList CommaTextItems(const QString& list);
