// Runs the certificate store's S/MIME body on a sandbox store (QMR_ROOT), the way the
// mail client calls it: the body in a buffer, the result into an output buffer, which
// the tool then writes to a file for openssl to check.
//
//   smime_tool <smtp_encrypt on|off> <smtp_attpkey on|off> <input file> <output file> [room]
//
// Exit status 0 when a body was made, 1 when smime_build_body failed, 2 on bad use.
#include "core/buffer.h"
#include "core/param.h"
#include "core/ptable.h"
#include "param_catalogue.h"
#include "web/cert.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: smime_tool <encrypt on|off> <attpkey on|off> <input> <output> [room]\n");
        return 2;
    }
    ptable();
    p_smtp_encrypt->setFromText(argv[1], static_cast<int>(std::strlen(argv[1])));
    p_smtp_attpkey->setFromText(argv[2], static_cast<int>(std::strlen(argv[2])));
    std::ifstream in(argv[3], std::ios::binary);
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Buffer input, output;
    if (!input.createMalloc(static_cast<int32_t>(body.size()) + 1)) return 2;
    std::memcpy(input.base, body.data(), body.size());
    input.length = static_cast<int32_t>(body.size());
    // The room the mail client gives: twice the body and the signature's share.
    int32_t room = argc > 5 ? std::atoi(argv[5]) : input.length * 2 + 3062 + 1152;
    if (!output.createMalloc(room)) return 2;
    if (!certstore::smime_build_body(nullptr, input, output, nullptr)) return 1;
    std::ofstream out(argv[4], std::ios::binary);
    out.write(output.cursor, output.length);
    return out.good() ? 0 : 1;
}
