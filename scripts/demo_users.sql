-- The demo's user table: a handful of users, some with a forwarding
-- address, a quota, an address mask or a mail drop of their own.
CREATE TABLE maildb (
    user     VARCHAR(128) NOT NULL,
    pass     VARCHAR(128) NOT NULL,
    forward  VARCHAR(255),
    quota    VARCHAR(32),
    mask     VARCHAR(32),
    maildrop VARCHAR(255)
);
INSERT INTO maildb VALUES ('alice@example.org', 'wonderland', NULL, '500', NULL, '/var/mail/alice');
INSERT INTO maildb VALUES ('bob@example.org', 'builder', 'bob@elsewhere.example', '100', NULL, NULL);
INSERT INTO maildb VALUES ('carol@example.org', 'c4r0l', NULL, NULL, '192.168.0.0', '/var/mail/carol');
INSERT INTO maildb VALUES ('dave@example.org', 'dave', 'NULL', '', NULL, NULL);
INSERT INTO maildb VALUES ('erin@other.example', 'erin', NULL, '2000', '10.0.0.0', '/srv/mail/erin');
