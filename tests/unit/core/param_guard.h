// Test helper: puts catalogue parameters back as a test found them (value, presence,
// no change mark), so tests that change the process-wide table leave no trace.
#pragma once

#include "core/param.h"

#include <initializer_list>
#include <string>
#include <vector>

class ParamGuard {
public:
    ParamGuard() = default;
    explicit ParamGuard(std::initializer_list<Param *> params) {
        for (Param *p : params)
            keep(p);
    }
    ParamGuard(const ParamGuard &) = delete;
    ParamGuard &operator=(const ParamGuard &) = delete;
    ~ParamGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            it->param->setText(it->text.c_str(), -1);
            it->param->setAbsent(it->absent);
            it->param->clearChanged();
        }
    }

    // Remembers the parameter, then sets it from the text.
    void set(Param *p, const char *text) {
        keep(p);
        p->setText(text, -1);
    }

private:
    void keep(Param *p) {
        char text[256] = "";
        p->toText(text, sizeof text, false);
        saved_.push_back({p, text, p->isAbsent()});
    }

    struct Saved {
        Param *param;
        std::string text;
        bool absent;
    };
    std::vector<Saved> saved_;
};
