// Helpers shared by the files of the certificate store (web/cert*.cpp).
#pragma once

#include "web/cert.h"

#include <string>
#include <sys/types.h>
#include <vector>

// The PEM text of the request loaded last (read under cert::mtx).
const std::string &certRequestText();

// Reads a file of the store (at most 20480 bytes); false when it cannot be read or is
// larger.
bool certReadFile(const std::string &path, std::string &out);
// The certificates of a file (PEM, or one DER certificate), at most limit; the caller
// frees them.
std::vector<X509 *> certReadChain(const std::string &path, int limit);

// Writes data to a temporary name beside path with the mode (whatever the process's
// file mask), syncs it and renames it into place. False (old file untouched) on failure.
bool certWriteFile(const std::string &path, const std::string &data, mode_t mode);
std::string certPem(X509 *x);
std::string keyPem(EVP_PKEY *key);
// The copy to the storage slot and the WebDAV backup after a file was written.
void certAfterWrite(const std::string &path);

// The attributes a page renders: the copy its handler took for this request, or else a
// fresh copy of the shared object.
CertView certPageView();

// The form that passed cert::validate last.
CertView certValidatedForm();
