-- Back from the hardened mode (db/hardened.sql) to the legacy mode of the
-- service database "sms". Run it as the administrator through the server's
-- socket:
--     mariadb -uroot < db/hardened-undo.sql
-- It changes no row of the tables of "sms". It drops the database sms_api
-- (its routines, views, sessions, failed logins and the record of issued
-- batch numbers), the account sms_client and the role sms_api_owner, and
-- gives every account that db/hardened.sql closed its old password back
-- (root / 604918, as the program's copies of the legacy mode expect it).
-- Accounts it had to drop (host names a server with skip-name-resolve does
-- not look up) and anonymous accounts stay gone. The account sms_server
-- stays: the service's server side may be using it.
-- TLS stays on; require_secure_transport is turned off until the server
-- restarts: take it out of the server's configuration as well.
SET NAMES utf8mb4;

DELIMITER //
BEGIN NOT ATOMIC
  DECLARE v_done INT DEFAULT 0;
  DECLARE v_user VARCHAR(128);
  DECLARE v_host VARCHAR(255);
  DECLARE v_action VARCHAR(16);
  DECLARE v_hash VARCHAR(64);
  DECLARE v_closed CURSOR FOR SELECT user, host, action, old_hash FROM sms_api.closed_accounts
                               WHERE action IN ('unix_socket', 'locked');
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET v_done = 1;
  IF EXISTS (SELECT 1 FROM information_schema.tables
              WHERE table_schema = 'sms_api' AND table_name = 'closed_accounts') THEN
    OPEN v_closed;
    accounts: LOOP
      FETCH v_closed INTO v_user, v_host, v_action, v_hash;
      IF v_done THEN LEAVE accounts; END IF;
      IF EXISTS (SELECT 1 FROM mysql.user WHERE user = v_user AND host = v_host) THEN
        IF v_action = 'unix_socket' THEN
          IF v_hash = '' THEN
            EXECUTE IMMEDIATE CONCAT('ALTER USER ', QUOTE(v_user), '@', QUOTE(v_host),
                                     ' IDENTIFIED VIA mysql_native_password USING ''''');
          ELSE
            EXECUTE IMMEDIATE CONCAT('ALTER USER ', QUOTE(v_user), '@', QUOTE(v_host),
                                     ' IDENTIFIED BY PASSWORD ', QUOTE(v_hash));
          END IF;
        ELSE
          EXECUTE IMMEDIATE CONCAT('ALTER USER ', QUOTE(v_user), '@', QUOTE(v_host), ' ACCOUNT UNLOCK');
        END IF;
      END IF;
    END LOOP;
    CLOSE v_closed;
  END IF;
  IF @@require_secure_transport THEN
    SET GLOBAL require_secure_transport = OFF;
  END IF;
END//
DELIMITER ;

DROP DATABASE IF EXISTS sms_api;
DROP USER IF EXISTS 'sms_client'@'%';
DROP ROLE IF EXISTS sms_api_owner;
FLUSH PRIVILEGES;
