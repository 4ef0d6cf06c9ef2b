-- The service database "sms" as the client uses it (MariaDB 10.11).
-- Run with a client connected to the server; creates the database if needed.
CREATE DATABASE IF NOT EXISTS sms CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
USE sms;

-- One row per customer account. Accounts form a tree by parentname.
-- Names compare without regard to letter case (the column's collation).
CREATE TABLE IF NOT EXISTS customers (
  customerid    INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  customername  VARCHAR(64) COLLATE utf8mb4_general_ci NOT NULL,
  password      VARCHAR(64) COLLATE utf8mb4_bin NOT NULL DEFAULT '',
  realname      VARCHAR(64) NOT NULL DEFAULT '',
  parentname    VARCHAR(64) COLLATE utf8mb4_general_ci NULL,
  limitrate     INT NOT NULL DEFAULT 0,
  smscount      BIGINT NULL DEFAULT 0,
  customerKind  VARCHAR(16) NOT NULL DEFAULT '',
  customerGrade INT NOT NULL DEFAULT 0,
  childCount    INT NOT NULL DEFAULT 0,
  createtime    DATETIME NULL,
  telphone      VARCHAR(64) NOT NULL DEFAULT '',
  address       VARCHAR(255) NOT NULL DEFAULT '',
  companyid     VARCHAR(32) NOT NULL DEFAULT '',
  KEY ix_customers_name (customername),
  KEY ix_customers_parent (parentname, customername)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- One row per submitted send batch; the service's server side delivers it.
CREATE TABLE IF NOT EXISTS submit (
  submitid     INT NOT NULL PRIMARY KEY,
  phones       LONGTEXT NOT NULL,
  testPhones   LONGTEXT NOT NULL,
  content      MEDIUMTEXT NOT NULL,
  appointtime  DATETIME NOT NULL DEFAULT CURRENT_TIMESTAMP,
  customername VARCHAR(64) COLLATE utf8mb4_general_ci NOT NULL,
  submittime   DATETIME NOT NULL,
  phonecount   INT NOT NULL DEFAULT 0,
  msgcount     INT NOT NULL DEFAULT 0,
  KEY ix_submit_customer_time (customername, submittime)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- One row per recharge (credit moved from contributor to customername).
CREATE TABLE IF NOT EXISTS charge (
  seqNO            INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  customername     VARCHAR(64) COLLATE utf8mb4_general_ci NOT NULL,
  remainWhenCharge BIGINT NOT NULL DEFAULT 0,
  chargePoint      INT NOT NULL DEFAULT 0,
  contributor      VARCHAR(64) COLLATE utf8mb4_general_ci NOT NULL,
  chargeTime       DATETIME NOT NULL,
  KEY ix_charge_customer (customername),
  KEY ix_charge_contributor_time (contributor, chargeTime)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- System parameters as name/value pairs; rows are read in id order.
CREATE TABLE IF NOT EXISTS sysPara (
  id    INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  name  VARCHAR(64) NOT NULL,
  value TEXT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Named counters behind seq(); a row per counter.
CREATE TABLE IF NOT EXISTS seqcounter (
  name VARCHAR(64) NOT NULL PRIMARY KEY,
  v    BIGINT NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- seq(name): the next integer of the named counter, distinct for concurrent callers.
DROP FUNCTION IF EXISTS seq;
DELIMITER //
CREATE FUNCTION seq(seq_name VARCHAR(64)) RETURNS BIGINT
  MODIFIES SQL DATA
BEGIN
  INSERT INTO seqcounter(name, v) VALUES (seq_name, LAST_INSERT_ID(1))
    ON DUPLICATE KEY UPDATE v = LAST_INSERT_ID(v + 1);
  RETURN LAST_INSERT_ID();
END//
DELIMITER ;
