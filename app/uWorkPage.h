#pragma once
// Base of the four work pages hosted by the main window.

#include <QWidget>

class TWorkPage : public QWidget
{
    Q_OBJECT
public:
    explicit TWorkPage(QWidget* parent = nullptr);
    // Called once by the main window right after it created the page.
    virtual void InitPage() {}
    // Called by the main window after every later successful login.
    virtual void AfterLogin() {}

protected:
    // The login test of the pages' actions: true when a customer is logged in;
    // otherwise tells the user "数据库未连接，提交失败" under "发送失败" and gives false.
    static bool RequireLogin();
};
