#include "app/Resources.h"

#include <QtGlobal>

void InitQuennetResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(quennet);
        return true;
    }();
    (void)done;
}
