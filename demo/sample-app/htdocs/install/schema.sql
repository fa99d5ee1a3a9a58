-- Guestbook tables, kept for reference. The site's PHP workers are denied this directory.
CREATE TABLE IF NOT EXISTS messages (
  id INTEGER PRIMARY KEY AUTO_INCREMENT,
  name VARCHAR(80) NOT NULL,
  message TEXT NOT NULL,
  picture VARCHAR(40),
  created TIMESTAMP DEFAULT CURRENT_TIMESTAMP
);
