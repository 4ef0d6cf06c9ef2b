#include "app/uResources.h"

#include <QtGlobal>

void InitAppResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(app);
        return true;
    }();
    (void)done;
}
