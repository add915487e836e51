// The appliance's default self-signed certificate: its form (subject, dates, names),
// which the certificate store checks and generates (tlsDefaultCertHook).

#include "core/sysinfo.h"
#include "core/tls.h"
#include "core/tls_internal.h"

#include <ctime>

namespace {

// The maker's fixed subject values of the default certificate.
constexpr const char MakerOrganisation[] = "qmr";
constexpr const char MakerLocality[] = "Default City";
constexpr const char MakerState[] = "Default State";
constexpr const char MakerCountry[] = "XX";
constexpr const char MakerEmail[] = "admin@qmr.invalid";

bool leapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    return month == 2 && leapYear(year) ? 29 : days[month - 1];
}

} // namespace

bool (*tlsDefaultCertHook)(const TlsCertForm &form, int keyBits) = nullptr;

void tlsDefaultValidity(const struct tm &now, int makeYear, int makeMonth, TlsCertForm &form) {
    if (now.tm_year + 1900 >= 2020) {
        form.startYear = now.tm_year + 1900;
        form.startMonth = now.tm_mon + 1;
        form.startDay = now.tm_mday;
    } else {
        form.startYear = makeYear;
        form.startMonth = makeMonth;
        form.startDay = 1;
    }
    // Two years later on the same day; a start on 29 February ends on the 28th, since
    // the same day does not exist two years on.
    form.endYear = form.startYear + 2;
    form.endMonth = form.startMonth;
    int last = daysInMonth(form.endYear, form.endMonth);
    form.endDay = form.startDay > last && last > 0 ? last : form.startDay;
}

TlsCertForm tlsDefaultCertForm(time_t now, const std::string &ipText) {
    const ProductParams &product = productParams();
    TlsCertForm form;
    form.commonName = product.defaultName;
    form.organisation = MakerOrganisation;
    form.locality = MakerLocality;
    form.state = MakerState;
    form.country = MakerCountry;
    form.email = MakerEmail;
    form.altNames = "DNS:" + ipText + ",IP:" + ipText;
    struct tm local {};
    localtime_r(&now, &local);
    tlsDefaultValidity(local, static_cast<int>(product.year), static_cast<int>(product.month), form);
    return form;
}
