-- The demo's SQLite database: mail aliases per user and domain.
CREATE TABLE aliases (user TEXT NOT NULL, domain TEXT NOT NULL, alias TEXT NOT NULL);
INSERT INTO aliases VALUES
  ('alice', 'example.org', 'alice@example.org'),
  ('alice', 'example.org', 'a.liddell@example.org'),
  ('alice', 'example.net', 'alice@example.net'),
  ('bob', 'example.org', 'bob@example.org');
