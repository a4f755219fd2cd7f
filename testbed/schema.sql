-- The panel's system database as far as the backup tools read and write it,
-- with a small set of sample rows (three domains of one client).
-- Loaded into a fresh database by `mariadb-server create-db`.

CREATE TABLE clients (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  login VARCHAR(64) NOT NULL,
  email VARCHAR(255) NULL,
  limits_id INT UNSIGNED NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Named limits, several rows per id; 'disk_space' is in bytes.
CREATE TABLE Limits (
  id INT UNSIGNED NOT NULL,
  limit_name VARCHAR(64) NOT NULL,
  value VARCHAR(255) NULL,
  PRIMARY KEY (id, limit_name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- status: bit 4 = switched off for a backup or restore, 64 = a switch-on
-- failed. real_size: disk space the domain uses, in bytes.
CREATE TABLE domains (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  name VARCHAR(255) NOT NULL,
  status INT UNSIGNED NOT NULL DEFAULT 0,
  cl_id INT UNSIGNED NOT NULL,
  real_size BIGINT UNSIGNED NOT NULL DEFAULT 0,
  params_id INT UNSIGNED NULL,
  limits_id INT UNSIGNED NULL,
  htype VARCHAR(32) NULL,
  UNIQUE KEY name (name),
  KEY cl_id (cl_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Server-wide parameters ('bu_cert_id', 'admin_email', 'size_count_type').
CREATE TABLE misc (
  param VARCHAR(245) NOT NULL PRIMARY KEY,
  val TEXT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The server key pair as PEM texts.
CREATE TABLE certificates (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  pvt_key TEXT NULL,
  cert TEXT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE Parameters (
  id INT UNSIGNED NOT NULL,
  parameter VARCHAR(245) NOT NULL,
  value TEXT NULL,
  PRIMARY KEY (id, parameter)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE dom_param (
  dom_id INT UNSIGNED NOT NULL,
  param VARCHAR(245) NOT NULL,
  val TEXT NULL,
  PRIMARY KEY (dom_id, param)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE DomainServices (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  dom_id INT UNSIGNED NOT NULL,
  type VARCHAR(32) NOT NULL,
  parameters_id INT UNSIGNED NULL,
  UNIQUE KEY dom_type (dom_id, type)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE IP_Addresses (
  id INT UNSIGNED NOT NULL PRIMARY KEY,
  ip_address VARCHAR(64) NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- fp / fp_ssl: publishing switches, read as the text 'true'.
CREATE TABLE hosting (
  dom_id INT UNSIGNED NOT NULL PRIMARY KEY,
  ip_address_id INT UNSIGNED NOT NULL,
  fp VARCHAR(8) NOT NULL DEFAULT 'false',
  fp_ssl VARCHAR(8) NOT NULL DEFAULT 'false'
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE dns_recs (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  dom_id INT UNSIGNED NOT NULL,
  type VARCHAR(16) NOT NULL,
  host VARCHAR(255) NOT NULL,
  val VARCHAR(255) NOT NULL DEFAULT '',
  KEY dom_id (dom_id)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

CREATE TABLE subdomains (
  id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
  dom_id INT UNSIGNED NOT NULL,
  name VARCHAR(63) NOT NULL,
  UNIQUE KEY dom_name (dom_id, name)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- status: the anonymous FTP switch, read as the text 'true'.
CREATE TABLE anon_ftp (
  dom_id INT UNSIGNED NOT NULL PRIMARY KEY,
  status VARCHAR(8) NOT NULL DEFAULT 'false'
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- Sample data -------------------------------------------------------------

-- Client 1 owns the three sample domains and has a 10 GiB disk quota;
-- client 2 has limits but no 'disk_space' row, no e-mail and no domain.
INSERT INTO clients (id, login, email, limits_id) VALUES
  (1, 'owner', 'owner@example.com', 100),
  (2, 'spare', '', 101);

INSERT INTO Limits (id, limit_name, value) VALUES
  (100, 'disk_space', '10737418240'),
  (100, 'max_dom', '10'),
  (101, 'max_dom', '1'),
  (1, 'disk_space', '1073741824'),
  (1, 'max_traffic', '5368709120');

-- The IDN domain bücher.example is stored in its ASCII-compatible form.
INSERT INTO domains (id, name, status, cl_id, real_size, params_id, limits_id, htype) VALUES
  (1, 'example.com', 0, 1, 5242880, 1, 1, 'vrt_hst'),
  (2, 'xn--bcher-kva.example', 0, 1, 3145728, 2, NULL, 'vrt_hst'),
  (3, 'other.example', 0, 1, 1048576, NULL, NULL, 'std_fwd');

INSERT INTO misc (param, val) VALUES
  ('size_count_type', 'byte'),
  ('admin_email', 'admin@example.com');

INSERT INTO Parameters (id, parameter, value) VALUES
  (1, 'apache_conf', 'on'),
  (2, 'apache_conf', 'off'),
  (5, 'mailbox_quota', '104857600');

INSERT INTO dom_param (dom_id, param, val) VALUES
  (1, 'stat_ttl', '3'),
  (2, 'stat_ttl', '12');

INSERT INTO DomainServices (dom_id, type, parameters_id) VALUES
  (1, 'mail', 5);

INSERT INTO IP_Addresses (id, ip_address) VALUES
  (1, '192.0.2.10'),
  (2, '192.0.2.11');

INSERT INTO hosting (dom_id, ip_address_id, fp, fp_ssl) VALUES
  (1, 1, 'true', 'false'),
  (2, 2, 'false', 'true');

-- example.com: www record and no www subdomain; other.example: both.
INSERT INTO dns_recs (dom_id, type, host, val) VALUES
  (1, 'NS', 'example.com.', 'ns.example.com.'),
  (1, 'A', 'www.example.com.', '192.0.2.10'),
  (2, 'MX', 'xn--bcher-kva.example.', 'mail.xn--bcher-kva.example.'),
  (3, 'CNAME', 'www.other.example.', 'other.example.');

INSERT INTO subdomains (dom_id, name) VALUES
  (3, 'www'),
  (1, 'shop');

INSERT INTO anon_ftp (dom_id, status) VALUES
  (1, 'true'),
  (2, 'false');
