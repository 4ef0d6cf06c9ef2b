-- Hardened mode of the service database "sms" (MariaDB 10.11).
--
-- After this script the program's copies no longer reach the tables: the
-- client account sms_client may only call the routines of the database
-- sms_api and read its views, and the routines keep every rule of the
-- service (who may see which rows, balances, batch numbers, recharges).
-- The tables of "sms" stay as they are, for the service's server side.
--
-- Run it as the administrator through the server's socket, after
-- db/schema.sql, e.g.
--     mariadb -uroot sms < db/hardened.sql
-- Running it again is harmless: it changes no row of the tables customers,
-- submit, charge and sysPara, and leaves sessions and counters as they are.
-- The service's server side gets the account sms_server; its password is
-- taken from @sms_server_password when the caller sets that first, e.g.
--     mariadb -uroot --init-command="SET @sms_server_password='...'" sms < db/hardened.sql
-- otherwise the account stays locked until the administrator gives it one.
-- db/hardened-undo.sql goes back to the legacy mode.
--
-- Refusals come as SQLSTATE 45000 with these error codes, each with a short
-- ASCII message:
--   50100 not logged in (no session, or it expired)
--   50101 wrong name or password
--   50102 name locked after five failed logins (for 15 minutes)
--   50103 old password wrong
--   50104 name already exists
--   50105 bad input (empty or too long name, bad amount or count, ...)
--   50106 not a direct sub-account (or oneself)
--   50107 declared counts lower than the counted ones
--   50108 more test lines than phone lines
--   50109 batch number not issued to this customer, or already used
--   50110 the balance that gives up credit does not cover it

-- Routines keep the sql_mode in force when they are created.
SET SESSION sql_mode = 'STRICT_ALL_TABLES,NO_ZERO_IN_DATE,NO_ZERO_DATE,ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION';
SET NAMES utf8mb4;

-- The service database must be there, and a password given for the server
-- side must be its own; else the script stops before it changes anything.
DELIMITER //
BEGIN NOT ATOMIC
  IF (SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = 'sms'
        AND table_name IN ('customers', 'submit', 'charge', 'sysPara', 'seqcounter')) < 5 THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'database sms with its tables is missing: run db/schema.sql first';
  END IF;
  IF @sms_server_password IN ('604918', 'Kv-client-2026.sms') THEN
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'the server side needs a password of its own, not one built into the program';
  END IF;
END//
DELIMITER ;

CREATE DATABASE IF NOT EXISTS sms_api CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
ALTER DATABASE sms_api CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
USE sms_api;

-- ---------------------------------------------------------------------------
-- Tables of the hardened mode

-- A logged-in connection: the hash of the token that login() left in the
-- connection's @sms_api_token, the customer, the connection and the expiry.
CREATE TABLE IF NOT EXISTS sessions (
  token_hash  BINARY(32) NOT NULL PRIMARY KEY,
  customerid  INT NOT NULL,
  login_name  VARCHAR(64) COLLATE utf8mb4_general_ci NOT NULL, -- the name as given to login()
  conn_id     BIGINT UNSIGNED NOT NULL,
  created     DATETIME NOT NULL,
  expires     DATETIME NOT NULL,
  KEY ix_sessions_expires (expires),
  KEY ix_sessions_customer (customerid)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Failed logins by name (names compare as customers.customername does).
CREATE TABLE IF NOT EXISTS failed_logins (
  name          VARCHAR(64) COLLATE utf8mb4_general_ci NOT NULL PRIMARY KEY,
  failures      INT NOT NULL,
  last_failure  DATETIME NOT NULL,
  locked_until  DATETIME NULL,
  KEY ix_failed_logins_last (last_failure)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- Every batch number seq() handed out, the customer it went to, and when a
-- batch was stored under it.
CREATE TABLE IF NOT EXISTS issued (
  submitid    INT NOT NULL PRIMARY KEY,
  customerid  INT NOT NULL,
  issued      DATETIME NOT NULL,
  used        DATETIME NULL,
  KEY ix_issued_open (customerid, used, issued)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;
CREATE INDEX IF NOT EXISTS ix_issued_open ON issued (customerid, used, issued);

-- The accounts this script closed, and how they were, for db/hardened-undo.sql.
CREATE TABLE IF NOT EXISTS closed_accounts (
  user        VARCHAR(128) COLLATE utf8mb4_bin NOT NULL,
  host        VARCHAR(255) COLLATE utf8mb4_bin NOT NULL,
  action      VARCHAR(16) NOT NULL,   -- 'unix_socket', 'locked' or 'dropped'
  old_hash    VARCHAR(64) NOT NULL,   -- the mysql_native_password hash it had ('' for none)
  closed      DATETIME NOT NULL,
  PRIMARY KEY (user, host)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci;

-- ---------------------------------------------------------------------------
-- The owner of every routine and view: a role, which cannot log in.

CREATE ROLE IF NOT EXISTS sms_api_owner;
GRANT SELECT, INSERT, UPDATE ON sms.customers TO sms_api_owner;
GRANT SELECT, INSERT ON sms.submit TO sms_api_owner;
GRANT SELECT, INSERT ON sms.charge TO sms_api_owner;
GRANT SELECT ON sms.sysPara TO sms_api_owner;
GRANT SELECT, INSERT, UPDATE ON sms.seqcounter TO sms_api_owner;
GRANT SELECT, INSERT, UPDATE, DELETE, EXECUTE ON sms_api.* TO sms_api_owner;

DELIMITER //

-- ---------------------------------------------------------------------------
-- Helpers

-- The customer (customerid) the connection is logged in as, or NULL. A
-- session in use is kept alive: its expiry moves on at most once an hour.
CREATE OR REPLACE DEFINER = sms_api_owner FUNCTION session_customer_id() RETURNS INT
  NOT DETERMINISTIC MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_hash BINARY(32);
  DECLARE v_id INT;
  DECLARE v_expires DATETIME;
  IF @sms_api_token IS NULL THEN
    RETURN NULL;
  END IF;
  SET v_hash = UNHEX(SHA2(@sms_api_token, 256));
  BEGIN
    DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_id = NULL;
    SELECT customerid, expires INTO v_id, v_expires FROM sessions
     WHERE token_hash = v_hash AND conn_id = CONNECTION_ID() AND expires > NOW();
  END;
  IF v_id IS NOT NULL AND v_expires < NOW() + INTERVAL 11 HOUR THEN
    BEGIN
      -- A read-only transaction cannot refresh it; the next call will.
      DECLARE CONTINUE HANDLER FOR SQLEXCEPTION BEGIN END;
      UPDATE sessions SET expires = NOW() + INTERVAL 12 HOUR WHERE token_hash = v_hash;
    END;
  END IF;
  RETURN v_id;
END//

-- The key of the connection's session (the hash of its @sms_api_token), or
-- NULL. Declared deterministic, as it is within a statement: the views then
-- find the session by its key once per statement.
CREATE OR REPLACE DEFINER = sms_api_owner FUNCTION session_key() RETURNS BINARY(32)
  DETERMINISTIC NO SQL SQL SECURITY DEFINER
  RETURN UNHEX(SHA2(@sms_api_token, 256))//

-- The session's customer and the name it logged in with; 50100 without one.
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE current_session(
  OUT p_id INT, OUT p_name VARCHAR(64) CHARACTER SET utf8mb4)
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_hash BINARY(32) DEFAULT UNHEX(SHA2(@sms_api_token, 256));
  SET p_id = NULL, p_name = NULL;
  IF v_hash IS NOT NULL THEN
    BEGIN
      DECLARE CONTINUE HANDLER FOR NOT FOUND SET p_id = NULL;
      SELECT customerid, login_name INTO p_id, p_name FROM sessions
       WHERE token_hash = v_hash AND conn_id = CONNECTION_ID() AND expires > NOW();
    END;
  END IF;
  IF p_id IS NULL OR NOT EXISTS (SELECT 1 FROM sms.customers WHERE customerid = p_id) THEN
    SET p_id = NULL, p_name = NULL;
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50100, MESSAGE_TEXT = 'NOT_LOGGED_IN';
  END IF;
  UPDATE sessions SET expires = NOW() + INTERVAL 12 HOUR WHERE token_hash = v_hash;
END//

-- The text without its leading and trailing characters of code 32 or below.
CREATE OR REPLACE DEFINER = sms_api_owner FUNCTION trim_ctl(p_text TEXT CHARACTER SET utf8mb4)
  RETURNS TEXT CHARACTER SET utf8mb4
  DETERMINISTIC NO SQL SQL SECURITY DEFINER
BEGIN
  DECLARE a INT DEFAULT 1;
  DECLARE b INT;
  IF p_text IS NULL THEN
    RETURN NULL;
  END IF;
  SET b = CHAR_LENGTH(p_text);
  WHILE a <= b AND ORD(SUBSTRING(p_text, a, 1)) <= 32 DO
    SET a = a + 1;
  END WHILE;
  WHILE b >= a AND ORD(SUBSTRING(p_text, b, 1)) <= 32 DO
    SET b = b - 1;
  END WHILE;
  RETURN SUBSTRING(p_text, a, b - a + 1);
END//

-- Lines of a text: its line feeds, and one more for a last line without one.
-- Counted in pieces of the text's bytes: over the whole text at once, REPLACE
-- costs time that grows with the square of its length.
CREATE OR REPLACE DEFINER = sms_api_owner FUNCTION line_count(p_text LONGBLOB) RETURNS BIGINT
  DETERMINISTIC NO SQL SQL SECURITY DEFINER
BEGIN
  DECLARE n BIGINT DEFAULT 0;
  DECLARE i BIGINT DEFAULT 1;
  DECLARE len BIGINT DEFAULT IFNULL(LENGTH(p_text), 0);
  DECLARE piece VARBINARY(4096);
  WHILE i <= len DO
    SET piece = SUBSTRING(p_text, i, 4096);
    SET n = n + LENGTH(piece) - LENGTH(REPLACE(piece, 0x0A, ''));
    SET i = i + 4096;
  END WHILE;
  IF len > 0 AND SUBSTRING(p_text, len, 1) <> 0x0A THEN
    SET n = n + 1;
  END IF;
  RETURN n;
END//

-- Message segments of a text as the client counts them: one for every 70
-- UTF-16 units begun.
CREATE OR REPLACE DEFINER = sms_api_owner FUNCTION segment_count(p_text MEDIUMTEXT CHARACTER SET utf8mb4)
  RETURNS BIGINT DETERMINISTIC NO SQL SQL SECURITY DEFINER
BEGIN
  RETURN CEILING(IFNULL(LENGTH(CONVERT(p_text USING utf16)), 0) / 2 / 70);
END//

CREATE OR REPLACE DEFINER = sms_api_owner FUNCTION api_version() RETURNS INT
  DETERMINISTIC NO SQL SQL SECURITY DEFINER
BEGIN
  RETURN 1;
END//

-- ---------------------------------------------------------------------------
-- Login and own password

-- Expired sessions, and failed logins of names nobody tried for a day, go a
-- few at a time, each in a transaction of its own after a login's: such
-- clean-ups of two logins at once could otherwise deadlock each other. A
-- clean-up that fails is left to the next login.
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE forget_old_logins()
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE CONTINUE HANDLER FOR SQLEXCEPTION BEGIN END;
  IF NOT @@in_transaction AND @@autocommit THEN
    DELETE FROM sessions WHERE expires < NOW() LIMIT 50;
    DELETE FROM failed_logins WHERE last_failure < NOW() - INTERVAL 1 DAY
       AND (locked_until IS NULL OR locked_until < NOW()) LIMIT 20;
  END IF;
END//

-- Binds this connection to the customer whose name and password these are
-- (the password compared exactly). Five failures in a row, each within 15
-- minutes of the one before, lock the name for 15 minutes. Not inside a
-- transaction of the caller's: the count of failures must stay whatever the
-- caller does next.
-- A name with no failure on record and the right password locks nothing and
-- writes one row, the session; every other try takes the counted path, which
-- reads the name's row under a lock. The clean-up runs after every failure
-- and after one success in eight.
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE login(
  IN p_name VARCHAR(255) CHARACTER SET utf8mb4, IN p_password VARCHAR(255) CHARACTER SET utf8mb4)
  MODIFIES SQL DATA SQL SECURITY DEFINER
body: BEGIN
  DECLARE v_id INT;
  DECLARE v_password VARCHAR(64) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
  DECLARE v_failures INT;
  DECLARE v_last DATETIME;
  DECLARE v_locked DATETIME;
  DECLARE v_token CHAR(64) CHARACTER SET latin1;
  DECLARE v_old BINARY(32);
  IF @@in_transaction OR NOT @@autocommit THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'LOGIN_INSIDE_TRANSACTION';
  END IF;
  IF p_name IS NULL OR p_password IS NULL OR CHAR_LENGTH(p_name) > 64 OR trim_ctl(p_name) = '' THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50101, MESSAGE_TEXT = 'WRONG_NAME_OR_PASSWORD';
  END IF;
  BEGIN
    DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_failures = NULL;
    SELECT failures INTO v_failures FROM failed_logins WHERE name = p_name;
  END;
  IF v_failures IS NULL THEN
    BEGIN
      DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_id = NULL;
      SELECT customerid, password INTO v_id, v_password
        FROM sms.customers WHERE customername = p_name ORDER BY customerid LIMIT 1;
    END;
    IF v_id IS NOT NULL AND v_password IS NOT NULL AND CAST(v_password AS BINARY) = CAST(p_password AS BINARY) THEN
      -- A session this connection has becomes the new one, under its token
      -- (its key stays, so the row is changed in place).
      SET v_old = UNHEX(SHA2(@sms_api_token, 256));
      IF v_old IS NOT NULL AND EXISTS (SELECT 1 FROM sessions WHERE token_hash = v_old AND conn_id = CONNECTION_ID()) THEN
        UPDATE sessions SET customerid = v_id, login_name = p_name, created = NOW(),
               expires = NOW() + INTERVAL 12 HOUR
         WHERE token_hash = v_old;
      ELSE
        SET v_token = HEX(RANDOM_BYTES(32));
        INSERT INTO sessions(token_hash, customerid, login_name, conn_id, created, expires)
          VALUES (UNHEX(SHA2(v_token, 256)), v_id, p_name, CONNECTION_ID(), NOW(), NOW() + INTERVAL 12 HOUR);
        SET @sms_api_token = v_token;
      END IF;
      IF RAND() < 0.125 THEN
        CALL forget_old_logins();
      END IF;
      LEAVE body;
    END IF;
    SET v_id = NULL, v_password = NULL;
  END IF;
  BEGIN
    DECLARE EXIT HANDLER FOR SQLEXCEPTION
    BEGIN
      ROLLBACK;
      RESIGNAL;
    END;
    START TRANSACTION;
    -- The name's row exists before it is read and locked: concurrent tries of
    -- one name wait for each other, and every failure is counted.
    INSERT INTO failed_logins(name, failures, last_failure, locked_until) VALUES (p_name, 0, NOW(), NULL)
      ON DUPLICATE KEY UPDATE name = name;
    SELECT failures, last_failure, locked_until INTO v_failures, v_last, v_locked
      FROM failed_logins WHERE name = p_name FOR UPDATE;
    IF v_locked > NOW() THEN
      COMMIT;
      SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50102, MESSAGE_TEXT = 'NAME_LOCKED';
    END IF;
    BEGIN
      DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_id = NULL;
      SELECT customerid, password INTO v_id, v_password
        FROM sms.customers WHERE customername = p_name ORDER BY customerid LIMIT 1;
    END;
    IF v_id IS NULL OR v_password IS NULL OR CAST(v_password AS BINARY) <> CAST(p_password AS BINARY) THEN
      IF v_failures = 0 OR v_last <= NOW() - INTERVAL 15 MINUTE OR v_locked IS NOT NULL THEN
        SET v_failures = 0;
      END IF;
      SET v_failures = v_failures + 1;
      UPDATE failed_logins SET failures = v_failures, last_failure = NOW(),
             locked_until = IF(v_failures >= 5, NOW() + INTERVAL 15 MINUTE, NULL)
       WHERE name = p_name;
      COMMIT;
      CALL forget_old_logins();
      SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50101, MESSAGE_TEXT = 'WRONG_NAME_OR_PASSWORD';
    END IF;
    DELETE FROM failed_logins WHERE name = p_name;
    IF @sms_api_token IS NOT NULL THEN
      DELETE FROM sessions WHERE token_hash = UNHEX(SHA2(@sms_api_token, 256));
    END IF;
    SET v_token = HEX(RANDOM_BYTES(32));
    INSERT INTO sessions(token_hash, customerid, login_name, conn_id, created, expires)
      VALUES (UNHEX(SHA2(v_token, 256)), v_id, p_name, CONNECTION_ID(), NOW(), NOW() + INTERVAL 12 HOUR);
    COMMIT;
    SET @sms_api_token = v_token;
  END;
  CALL forget_old_logins();
END//

CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE logout()
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  IF @sms_api_token IS NOT NULL THEN
    DELETE FROM sessions WHERE token_hash = UNHEX(SHA2(@sms_api_token, 256));
  END IF;
  SET @sms_api_token = NULL;
END//

-- The session's own password; the old one compared exactly.
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE change_password(
  IN p_old VARCHAR(255) CHARACTER SET utf8mb4, IN p_new VARCHAR(255) CHARACTER SET utf8mb4)
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_id INT;
  DECLARE v_name VARCHAR(64) CHARACTER SET utf8mb4;
  DECLARE v_password VARCHAR(64) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
  CALL current_session(v_id, v_name);
  IF p_old IS NULL OR p_new IS NULL OR CHAR_LENGTH(p_new) > 64 THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'BAD_INPUT';
  END IF;
  SET v_password = (SELECT password FROM sms.customers WHERE customerid = v_id);
  IF v_password IS NULL OR CAST(v_password AS BINARY) <> CAST(p_old AS BINARY) THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50103, MESSAGE_TEXT = 'OLD_PASSWORD_WRONG';
  END IF;
  UPDATE sms.customers SET password = p_new WHERE customerid = v_id;
END//

-- ---------------------------------------------------------------------------
-- Sub-accounts

-- The direct sub-account of that name of the session's customer (never the
-- customer itself), or NULL.
CREATE OR REPLACE DEFINER = sms_api_owner FUNCTION child_id(p_parent INT, p_child VARCHAR(255) CHARACTER SET utf8mb4)
  RETURNS INT NOT DETERMINISTIC MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  IF p_parent IS NULL OR p_parent <> session_customer_id() THEN
    RETURN NULL;
  END IF;
  RETURN (SELECT MIN(c.customerid) FROM sms.customers c JOIN sms.customers p ON p.customerid = p_parent
           WHERE c.customername = p_child AND c.parentname = p.customername AND c.customerid <> p_parent
             AND p.customername <> '');
END//

-- A new sub-account, the row as the new sub-account dialog writes it: name,
-- password, phone and address trimmed, no credit, the creator's limit rate
-- (or the system's default), the creator's grade plus one, kind 新开.
-- Under autocommit only (50105 inside a transaction of the caller's).
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE create_child(
  IN p_name VARCHAR(255) CHARACTER SET utf8mb4, IN p_password VARCHAR(255) CHARACTER SET utf8mb4,
  IN p_telphone VARCHAR(255) CHARACTER SET utf8mb4, IN p_address VARCHAR(1024) CHARACTER SET utf8mb4)
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_id INT;
  DECLARE v_name VARCHAR(64) CHARACTER SET utf8mb4;
  DECLARE v_child VARCHAR(255) CHARACTER SET utf8mb4 DEFAULT trim_ctl(p_name);
  DECLARE v_password VARCHAR(255) CHARACTER SET utf8mb4 DEFAULT trim_ctl(p_password);
  DECLARE v_tel VARCHAR(255) CHARACTER SET utf8mb4 DEFAULT trim_ctl(p_telphone);
  DECLARE v_addr VARCHAR(1024) CHARACTER SET utf8mb4 DEFAULT trim_ctl(p_address);
  DECLARE v_rate DOUBLE;
  DECLARE v_default TEXT CHARACTER SET utf8mb4;
  DECLARE v_grade INT;
  DECLARE v_company VARCHAR(32) CHARACTER SET utf8mb4;
  CALL current_session(v_id, v_name);
  IF @@in_transaction OR NOT @@autocommit THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'CREATE_INSIDE_TRANSACTION';
  END IF;
  BEGIN
    -- Its own transaction: the locking read of the name holds others'
    -- creations only while this call runs.
    DECLARE EXIT HANDLER FOR SQLEXCEPTION
    BEGIN
      ROLLBACK;
      RESIGNAL;
    END;
    START TRANSACTION;
    IF v_child IS NULL OR v_child = '' OR CHAR_LENGTH(v_child) > 64 OR v_password IS NULL
       OR CHAR_LENGTH(v_password) > 64 OR CHAR_LENGTH(IFNULL(v_tel, '')) > 64
       OR CHAR_LENGTH(IFNULL(v_addr, '')) > 255 THEN
      SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'BAD_INPUT';
    END IF;
    -- The locking read keeps a second creation of the name waiting.
    IF (SELECT COUNT(*) FROM sms.customers WHERE customername = v_child FOR UPDATE) > 0 THEN
      SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50104, MESSAGE_TEXT = 'NAME_EXISTS';
    END IF;
    SELECT limitrate, customerGrade, companyid INTO v_rate, v_grade, v_company
      FROM sms.customers WHERE customerid = v_id;
    IF IFNULL(v_rate, 0) = 0 THEN
      -- As the client reads sysPara: the last row of that name; not a number: 90.
      SET v_default = (SELECT TRIM(value) FROM sms.sysPara WHERE name = 'defaultlimitrate' ORDER BY id DESC LIMIT 1);
      IF v_default REGEXP '^[+-]?([0-9]+([.][0-9]*)?|[.][0-9]+)([eE][+-]?[0-9]+)?$' THEN
        SET v_rate = TRUNCATE(CAST(v_default AS DOUBLE), 0);
      ELSE
        SET v_rate = 90;
      END IF;
    END IF;
    INSERT INTO sms.customers(customername, password, realname, parentname, limitrate, smscount, customerKind,
                              customerGrade, childCount, createtime, telphone, address, companyid)
      VALUES (v_child, v_password, v_child, v_name, v_rate, 0, '新开', v_grade + 1, 0, NOW(),
              IFNULL(v_tel, ''), IFNULL(v_addr, ''), IFNULL(trim_ctl(v_company), ''));
    COMMIT;
  END;
END//

-- A direct sub-account's password, stored as given.
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE set_child_password(
  IN p_child VARCHAR(255) CHARACTER SET utf8mb4, IN p_password VARCHAR(255) CHARACTER SET utf8mb4)
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_id INT;
  DECLARE v_name VARCHAR(64) CHARACTER SET utf8mb4;
  DECLARE v_child INT;
  CALL current_session(v_id, v_name);
  SET v_child = child_id(v_id, p_child);
  IF v_child IS NULL THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50106, MESSAGE_TEXT = 'NOT_A_SUB_ACCOUNT';
  END IF;
  IF p_password IS NULL OR CHAR_LENGTH(p_password) > 64 THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'BAD_INPUT';
  END IF;
  UPDATE sms.customers c JOIN sms.customers p ON p.customerid = v_id
     SET c.password = p_password
   WHERE c.customername = p_child AND c.parentname = p.customername AND c.customerid <> v_id
     AND p.customername <> '';
END//

-- A direct sub-account's phone and address, stored as given.
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE set_child_contact(
  IN p_child VARCHAR(255) CHARACTER SET utf8mb4, IN p_telphone VARCHAR(255) CHARACTER SET utf8mb4,
  IN p_address VARCHAR(1024) CHARACTER SET utf8mb4)
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_id INT;
  DECLARE v_name VARCHAR(64) CHARACTER SET utf8mb4;
  DECLARE v_child INT;
  CALL current_session(v_id, v_name);
  SET v_child = child_id(v_id, p_child);
  IF v_child IS NULL THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50106, MESSAGE_TEXT = 'NOT_A_SUB_ACCOUNT';
  END IF;
  IF p_telphone IS NULL OR p_address IS NULL OR CHAR_LENGTH(p_telphone) > 64 OR CHAR_LENGTH(p_address) > 255 THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'BAD_INPUT';
  END IF;
  UPDATE sms.customers c JOIN sms.customers p ON p.customerid = v_id
     SET c.telphone = p_telphone, c.address = p_address
   WHERE c.customername = p_child AND c.parentname = p.customername AND c.customerid <> v_id
     AND p.customername <> '';
END//

-- ---------------------------------------------------------------------------
-- Batch numbers, send and recharge

-- The next number of the named counter (the one the legacy seq() keeps),
-- recorded as issued to the session's customer. Only 'one' is handed out,
-- only under autocommit, and to no one who holds a thousand unused numbers
-- of the last day.
CREATE OR REPLACE DEFINER = sms_api_owner FUNCTION seq(p_name VARCHAR(64) CHARACTER SET utf8mb4) RETURNS BIGINT
  NOT DETERMINISTIC MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_id INT DEFAULT session_customer_id();
  DECLARE v_n BIGINT;
  IF v_id IS NULL THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50100, MESSAGE_TEXT = 'NOT_LOGGED_IN';
  END IF;
  IF p_name IS NULL OR p_name <> 'one' THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'BAD_INPUT';
  END IF;
  -- Inside a transaction the counter's row would stay locked for everyone
  -- until the caller ends it.
  IF @@in_transaction OR NOT @@autocommit THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'SEQ_INSIDE_TRANSACTION';
  END IF;
  -- The numbers are shared by every customer: no one takes them by the
  -- thousand without sending.
  IF (SELECT COUNT(*) FROM (SELECT 1 FROM issued WHERE customerid = v_id AND used IS NULL
                              AND issued > NOW() - INTERVAL 1 DAY LIMIT 1000) t) >= 1000 THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'TOO_MANY_UNUSED_NUMBERS';
  END IF;
  INSERT INTO sms.seqcounter(name, v) VALUES (p_name, LAST_INSERT_ID(1))
    ON DUPLICATE KEY UPDATE v = LAST_INSERT_ID(v + 1);
  SET v_n = LAST_INSERT_ID();
  INSERT INTO issued(submitid, customerid, issued) VALUES (v_n, v_id, NOW());
  RETURN v_n;
END//

-- One send batch: the sender's balance lowered by phonecount x msgcount and
-- the row stored as the legacy insert stores it (p_appoint NULL: send now,
-- appointtime left to its default), both or neither. The lines of p_phones
-- and the segments of p_content are counted here; declared counts may not
-- be lower. The number must have been issued to the sender by seq('one')
-- and not used before. Atomic on its own and inside a caller's transaction.
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE submit_batch(
  IN p_submitid BIGINT, IN p_phones LONGTEXT CHARACTER SET utf8mb4, IN p_test_phones LONGTEXT CHARACTER SET utf8mb4,
  IN p_content MEDIUMTEXT CHARACTER SET utf8mb4, IN p_appoint DATETIME, IN p_phonecount BIGINT, IN p_msgcount BIGINT)
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_own_tx BOOL DEFAULT (@@in_transaction = 0);
  DECLARE v_id INT;
  DECLARE v_name VARCHAR(64) CHARACTER SET utf8mb4;
  DECLARE v_lines BIGINT;
  DECLARE v_cost BIGINT;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    IF v_own_tx THEN
      ROLLBACK;
    ELSE
      BEGIN
        DECLARE CONTINUE HANDLER FOR SQLEXCEPTION BEGIN END;
        ROLLBACK TO SAVEPOINT sms_api_submit_batch;
      END;
    END IF;
    RESIGNAL;
  END;
  IF v_own_tx THEN
    START TRANSACTION;
  ELSE
    SAVEPOINT sms_api_submit_batch;
  END IF;
  CALL current_session(v_id, v_name);
  IF p_submitid IS NULL OR p_phones IS NULL OR p_test_phones IS NULL OR p_content IS NULL
     OR p_phonecount IS NULL OR p_msgcount IS NULL OR p_phonecount < 1 OR p_msgcount < 1
     OR p_phonecount > 2147483647 OR p_msgcount > 2147483647 THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'BAD_INPUT';
  END IF;
  SET v_lines = line_count(p_phones);
  IF p_phonecount < v_lines OR p_msgcount < segment_count(p_content) THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50107, MESSAGE_TEXT = 'COUNTS_TOO_LOW';
  END IF;
  IF line_count(p_test_phones) > v_lines THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50108, MESSAGE_TEXT = 'TOO_MANY_TEST_LINES';
  END IF;
  IF (SELECT COUNT(*) FROM issued WHERE submitid = p_submitid AND customerid = v_id AND used IS NULL FOR UPDATE) = 0
     OR EXISTS (SELECT 1 FROM sms.submit WHERE submitid = p_submitid) THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50109, MESSAGE_TEXT = 'BATCH_NUMBER_NOT_ISSUED';
  END IF;
  SET v_cost = p_phonecount * p_msgcount;
  UPDATE sms.customers SET smscount = smscount - v_cost WHERE customerid = v_id AND smscount >= v_cost;
  IF ROW_COUNT() < 1 THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50110, MESSAGE_TEXT = 'BALANCE_TOO_LOW';
  END IF;
  UPDATE issued SET used = NOW() WHERE submitid = p_submitid;
  IF p_appoint IS NULL THEN
    INSERT INTO sms.submit(submitid, phones, testPhones, content, customername, submittime, phonecount, msgcount)
      VALUES (p_submitid, p_phones, p_test_phones, p_content, v_name, NOW(), p_phonecount, p_msgcount);
  ELSE
    INSERT INTO sms.submit(submitid, phones, testPhones, content, appointtime, customername, submittime,
                           phonecount, msgcount)
      VALUES (p_submitid, p_phones, p_test_phones, p_content, p_appoint, v_name, NOW(), p_phonecount, p_msgcount);
  END IF;
  IF v_own_tx THEN
    COMMIT;
  END IF;
END//

-- Moves credit between the session's customer and a direct sub-account: a
-- positive amount to the sub-account, a negative one back from it. The side
-- that gives up credit must cover it. The record as the legacy insert writes
-- it. Atomic on its own and inside a caller's transaction.
CREATE OR REPLACE DEFINER = sms_api_owner PROCEDURE recharge(
  IN p_child VARCHAR(255) CHARACTER SET utf8mb4, IN p_amount BIGINT)
  MODIFIES SQL DATA SQL SECURITY DEFINER
BEGIN
  DECLARE v_own_tx BOOL DEFAULT (@@in_transaction = 0);
  DECLARE v_id INT;
  DECLARE v_name VARCHAR(64) CHARACTER SET utf8mb4;
  DECLARE v_child INT;
  DECLARE v_child_name VARCHAR(64) CHARACTER SET utf8mb4;
  DECLARE v_own BIGINT;
  DECLARE v_remain BIGINT;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    IF v_own_tx THEN
      ROLLBACK;
    ELSE
      BEGIN
        DECLARE CONTINUE HANDLER FOR SQLEXCEPTION BEGIN END;
        ROLLBACK TO SAVEPOINT sms_api_recharge;
      END;
    END IF;
    RESIGNAL;
  END;
  IF v_own_tx THEN
    START TRANSACTION;
  ELSE
    SAVEPOINT sms_api_recharge;
  END IF;
  CALL current_session(v_id, v_name);
  IF p_amount IS NULL OR p_amount < -2147483648 OR p_amount > 2147483647 THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50105, MESSAGE_TEXT = 'BAD_INPUT';
  END IF;
  SET v_child = child_id(v_id, p_child);
  IF v_child IS NULL THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50106, MESSAGE_TEXT = 'NOT_A_SUB_ACCOUNT';
  END IF;
  -- Both rows locked, always in the order of their keys.
  IF v_id < v_child THEN
    SET v_own = (SELECT IFNULL(smscount, 0) FROM sms.customers WHERE customerid = v_id FOR UPDATE);
    SELECT IFNULL(smscount, 0), customername INTO v_remain, v_child_name
      FROM sms.customers WHERE customerid = v_child FOR UPDATE;
  ELSE
    SELECT IFNULL(smscount, 0), customername INTO v_remain, v_child_name
      FROM sms.customers WHERE customerid = v_child FOR UPDATE;
    SET v_own = (SELECT IFNULL(smscount, 0) FROM sms.customers WHERE customerid = v_id FOR UPDATE);
  END IF;
  IF (p_amount > 0 AND v_own < p_amount) OR (p_amount < 0 AND v_remain < -p_amount) THEN
    SIGNAL SQLSTATE '45000' SET MYSQL_ERRNO = 50110, MESSAGE_TEXT = 'BALANCE_TOO_LOW';
  END IF;
  UPDATE sms.customers SET smscount = IFNULL(smscount, 0) - p_amount WHERE customerid = v_id;
  UPDATE sms.customers SET smscount = IFNULL(smscount, 0) + p_amount WHERE customerid = v_child;
  INSERT INTO sms.charge(customername, remainWhenCharge, chargePoint, contributor, chargeTime)
    VALUES (v_child_name, v_remain, p_amount, v_name, NOW());
  IF v_own_tx THEN
    COMMIT;
  END IF;
END//

DELIMITER ;

-- ---------------------------------------------------------------------------
-- Views with the tables' names and columns: the client's reads run in sms_api
-- as they ran in sms. Each shows nothing before a login: it joins the
-- connection's own session, found by its key (session_key()), its connection
-- and its expiry, once per statement. A read does not move the expiry on
-- (the statement reads sessions, so no function in it may write there); the
-- routines and session_customer_id() do, which the program calls at least
-- once an hour.

CREATE OR REPLACE DEFINER = sms_api_owner SQL SECURITY DEFINER VIEW customers AS
  SELECT c.customerid, c.customername, CAST('' AS CHAR(64) CHARACTER SET utf8mb4) AS password, c.realname,
         c.parentname, c.limitrate, c.smscount, c.customerKind, c.customerGrade, c.childCount, c.createtime,
         c.telphone, c.address, c.companyid
    FROM sms_api.sessions ses
    JOIN sms.customers me ON me.customerid = ses.customerid
    JOIN sms.customers c ON c.customerid = me.customerid OR (c.parentname = me.customername AND me.customername <> '')
   WHERE ses.token_hash = sms_api.session_key() AND ses.conn_id = CONNECTION_ID() AND ses.expires > NOW();

CREATE OR REPLACE DEFINER = sms_api_owner SQL SECURITY DEFINER VIEW submit AS
  SELECT s.submitid, s.phones, s.testPhones, s.content, s.appointtime, s.customername, s.submittime,
         s.phonecount, s.msgcount
    FROM sms_api.sessions ses
    JOIN sms.customers me ON me.customerid = ses.customerid
    JOIN sms.submit s ON s.customername = me.customername AND me.customername <> ''
   WHERE ses.token_hash = sms_api.session_key() AND ses.conn_id = CONNECTION_ID() AND ses.expires > NOW();

CREATE OR REPLACE DEFINER = sms_api_owner SQL SECURITY DEFINER VIEW charge AS
  SELECT g.seqNO, g.customername, g.remainWhenCharge, g.chargePoint, g.contributor, g.chargeTime
    FROM sms_api.sessions ses
    JOIN sms.customers me ON me.customerid = ses.customerid
    JOIN sms.charge g ON (g.customername = me.customername OR g.contributor = me.customername)
                     AND me.customername <> ''
   WHERE ses.token_hash = sms_api.session_key() AND ses.conn_id = CONNECTION_ID() AND ses.expires > NOW();

CREATE OR REPLACE DEFINER = sms_api_owner SQL SECURITY DEFINER VIEW sysPara AS
  SELECT p.id, p.name, p.value
    FROM sms_api.sessions ses
    JOIN sms.sysPara p ON p.name IN ('defaultlimitrate', 'bookingNotice', 'customerNotice', 'softerVer')
   WHERE ses.token_hash = sms_api.session_key() AND ses.conn_id = CONNECTION_ID() AND ses.expires > NOW();

-- ---------------------------------------------------------------------------
-- Accounts

-- The program's account: the routines and the views of sms_api, nothing else.
CREATE USER IF NOT EXISTS 'sms_client'@'%' IDENTIFIED BY 'Kv-client-2026.sms' REQUIRE SSL;
ALTER USER 'sms_client'@'%' IDENTIFIED BY 'Kv-client-2026.sms' REQUIRE SSL ACCOUNT UNLOCK;
-- Any other right it was given goes (on a running service only then: its
-- calls would fail for a moment).
DELIMITER //
BEGIN NOT ATOMIC
  DECLARE v_grantee VARCHAR(200) DEFAULT '''sms_client''@''%''';
  IF EXISTS (SELECT 1 FROM information_schema.user_privileges
              WHERE grantee = v_grantee AND (privilege_type <> 'USAGE' OR is_grantable = 'YES'))
     OR EXISTS (SELECT 1 FROM information_schema.schema_privileges
                 WHERE grantee = v_grantee AND NOT (table_schema = 'sms_api' AND privilege_type = 'EXECUTE'
                                                    AND is_grantable = 'NO'))
     OR EXISTS (SELECT 1 FROM information_schema.table_privileges
                 WHERE grantee = v_grantee AND NOT (table_schema = 'sms_api' AND privilege_type = 'SELECT'
                   AND is_grantable = 'NO' AND table_name IN ('customers', 'submit', 'charge', 'sysPara')))
     OR EXISTS (SELECT 1 FROM information_schema.column_privileges WHERE grantee = v_grantee)
     OR EXISTS (SELECT 1 FROM mysql.procs_priv WHERE user = 'sms_client' AND host = '%')
     OR EXISTS (SELECT 1 FROM mysql.roles_mapping WHERE user = 'sms_client' AND host = '%') THEN
    REVOKE ALL PRIVILEGES, GRANT OPTION FROM 'sms_client'@'%';
  END IF;
END//
DELIMITER ;
GRANT EXECUTE ON sms_api.* TO 'sms_client'@'%';
GRANT SELECT ON sms_api.customers TO 'sms_client'@'%';
GRANT SELECT ON sms_api.submit TO 'sms_client'@'%';
GRANT SELECT ON sms_api.charge TO 'sms_client'@'%';
GRANT SELECT ON sms_api.sysPara TO 'sms_client'@'%';

-- The service's server side: the tables of sms as before, nothing more.
DELIMITER //
BEGIN NOT ATOMIC
  IF NOT EXISTS (SELECT 1 FROM mysql.user WHERE user = 'sms_server' AND host = '%') THEN
    IF @sms_server_password IS NOT NULL AND @sms_server_password <> '' THEN
      EXECUTE IMMEDIATE CONCAT('CREATE USER ''sms_server''@''%'' IDENTIFIED BY ', QUOTE(@sms_server_password));
    ELSE
      EXECUTE IMMEDIATE CONCAT('CREATE USER ''sms_server''@''%'' IDENTIFIED BY ', QUOTE(HEX(RANDOM_BYTES(24))),
                               ' ACCOUNT LOCK');
    END IF;
  ELSEIF @sms_server_password IS NOT NULL AND @sms_server_password <> '' THEN
    EXECUTE IMMEDIATE CONCAT('ALTER USER ''sms_server''@''%'' IDENTIFIED BY ', QUOTE(@sms_server_password),
                             ' ACCOUNT UNLOCK');
  END IF;
END//
DELIMITER ;
GRANT SELECT, INSERT, UPDATE, DELETE ON sms.* TO 'sms_server'@'%';
DELIMITER //
BEGIN NOT ATOMIC
  IF EXISTS (SELECT 1 FROM information_schema.routines WHERE routine_schema = 'sms' AND routine_name = 'seq') THEN
    GRANT EXECUTE ON FUNCTION sms.seq TO 'sms_server'@'%';
  END IF;
END//
DELIMITER ;

-- No anonymous accounts. Every account with the program's old built-in
-- password (or root without any) is closed for TCP: root@localhost then
-- logs in through the socket only, as the system's root (unix_socket), the
-- others are locked.
DELIMITER //
BEGIN NOT ATOMIC
  DECLARE v_done INT DEFAULT 0;
  DECLARE v_user VARCHAR(128);
  DECLARE v_host VARCHAR(255);
  DECLARE v_plugin VARCHAR(64);
  DECLARE v_hash VARCHAR(64);
  DECLARE v_anon CURSOR FOR SELECT host FROM mysql.user WHERE user = '' AND is_role = 'N';
  DECLARE v_legacy CURSOR FOR
    SELECT u.user, u.host, u.plugin, u.authentication_string FROM mysql.user u
     WHERE u.is_role = 'N' AND u.user <> '' AND u.user NOT IN ('mariadb.sys', 'sms_client', 'sms_server')
       AND (u.authentication_string = PASSWORD('604918')
            OR (u.user = 'root' AND u.authentication_string = '' AND u.plugin IN ('', 'mysql_native_password')))
       AND NOT EXISTS (SELECT 1 FROM mysql.global_priv g WHERE g.user = u.user AND g.host = u.host
                          AND JSON_VALUE(g.priv, '$.account_locked') IN ('1', 'true'));
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_done = 1;
  OPEN v_anon;
  anon: LOOP
    FETCH v_anon INTO v_host;
    IF v_done THEN LEAVE anon; END IF;
    EXECUTE IMMEDIATE CONCAT('DROP USER ''''@', QUOTE(v_host));
  END LOOP;
  CLOSE v_anon;
  SET v_done = 0;
  OPEN v_legacy;
  legacy: LOOP
    FETCH v_legacy INTO v_user, v_host, v_plugin, v_hash;
    IF v_done THEN LEAVE legacy; END IF;
    IF v_host = 'localhost' THEN
      EXECUTE IMMEDIATE CONCAT('ALTER USER ', QUOTE(v_user), '@', QUOTE(v_host), ' IDENTIFIED VIA unix_socket');
      INSERT IGNORE INTO closed_accounts VALUES (v_user, v_host, 'unix_socket', v_hash, NOW());
    ELSE
      BEGIN
        -- A host name the server does not look up (skip-name-resolve) cannot
        -- be altered, only dropped.
        DECLARE EXIT HANDLER FOR SQLEXCEPTION
        BEGIN
          EXECUTE IMMEDIATE CONCAT('DROP USER ', QUOTE(v_user), '@', QUOTE(v_host));
          INSERT IGNORE INTO closed_accounts VALUES (v_user, v_host, 'dropped', v_hash, NOW());
        END;
        EXECUTE IMMEDIATE CONCAT('ALTER USER ', QUOTE(v_user), '@', QUOTE(v_host), ' ACCOUNT LOCK');
        INSERT IGNORE INTO closed_accounts VALUES (v_user, v_host, 'locked', v_hash, NOW());
      END;
    END IF;
  END LOOP;
  CLOSE v_legacy;
END//
DELIMITER ;

-- Transport: only TLS over TCP (the server's configuration should say so as
-- well, since this lasts only until the server restarts).
DELIMITER //
BEGIN NOT ATOMIC
  IF @@have_ssl = 'YES' THEN
    SET GLOBAL require_secure_transport = ON;
  END IF;
END//
DELIMITER ;

FLUSH PRIVILEGES;
