// The server key pair in the system database, and its published public half.
#pragma once

#include <mysql.h>
#include <openssl/evp.h>

#include <memory>
#include <optional>
#include <string>

struct EvpPkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;

long get_bu_cert_id(MYSQL* conn);
std::optional<std::string> get_server_private_key();
std::optional<std::string> get_server_public_key();
// PKCS#1 "RSA PUBLIC KEY" or SubjectPublicKeyInfo PEM; null when none.
EvpPkeyPtr read_public_key(const char* pem);
int check_server_keys();
int gen_server_keys();

// Closes the connections the key operations keep (for tests that switch
// databases within one process).
void reset_server_key_connections();
