#include "app/uWorkPage.h"

TWorkPage::TWorkPage(QWidget* parent) : QWidget(parent) {}
