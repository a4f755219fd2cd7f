// The server key pair in the system database, and its published public half.
#pragma once

#include <mysql.h>

#include <memory>
#include <optional>
#include <string>

#include "openssl_handles.h"

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
