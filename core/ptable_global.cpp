// The daemon's one parameter table over the whole catalogue. The catalogue is built on
// first use and, through the initialiser below, before main runs, so the global
// parameter references are valid wherever code runs.

#include "core/ptable.h"

#include "param_catalogue.h"

#include <mutex>

namespace {

Param *catalogueItems[ParamCount];

int saveTable() {
    return static_cast<int>(ptable().saveIfChanged());
}

Param *findInTable(const char *name) {
    return ptable().find(name);
}

} // namespace

Ptable &ptable() {
    static Ptable table(catalogueItems, ParamCount);
    static std::once_flag built;
    std::call_once(built, [] {
        buildParamCatalogue(catalogueItems);
        setParamTableHooks(saveTable, findInTable);
    });
    return table;
}

void freeParamTable() {
    Ptable &table = ptable();
    int count = 0;
    Param **items = table.getItems(count);
    table.forgetItems();
    setParamTableHooks(nullptr, nullptr);
    for (int i = 0; i < count; i++) {
        delete items[i];
        items[i] = nullptr;
    }
}

namespace {
[[maybe_unused]] const bool builtBeforeMain = (ptable(), true);
}
