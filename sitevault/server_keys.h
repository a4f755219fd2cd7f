// The server key pair in the system database, and its published public half.
#pragma once

#include <mysql.h>

#include <memory>
#include <optional>
#include <string>

#include "sitevault/openssl_handles.h"

// The id of the server key pair's row in the database; 0 when none.
long get_bu_cert_id(MYSQL* conn);
// The PEM texts of the key pair's halves; nullopt after reporting.
std::optional<std::string> get_server_private_key();
std::optional<std::string> get_server_public_key();
// PKCS#1 "RSA PUBLIC KEY" or SubjectPublicKeyInfo PEM; null when none.
EvpPkeyPtr read_public_key(const char* pem);
// 1 when both halves are stored and belong together, else 0.
int check_server_keys();
// Generates a new key pair, stores it and publishes bu_pubkey.txt; 1 on
// success, 0 after reporting.
int gen_server_keys();

// Closes the connections the key operations keep (for tests that switch
// databases within one process).
void reset_server_key_connections();
