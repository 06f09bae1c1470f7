// System database Master.mdb: users and their menu rights. One statement per line.
// Text that Jet compares ignoring case (codes, kinds) is declared COLLATE NOCASE; yes/no columns are BIT
// holding -1 (True) and 0 (False), as Jet stores them.
CREATE TABLE S_User (FCode VARCHAR(15) COLLATE NOCASE NOT NULL PRIMARY KEY, FName VARCHAR(15), FPassword VARCHAR(15), FReserve BIT NOT NULL DEFAULT 0)
CREATE TABLE S_Authority (FUserCode VARCHAR(15) COLLATE NOCASE NOT NULL, FBizKind VARCHAR(10) COLLATE NOCASE NOT NULL, FMenuCode VARCHAR(9) COLLATE NOCASE NOT NULL)
CREATE INDEX IX_S_Authority_User ON S_Authority (FUserCode, FBizKind)
// Preset users: their rights follow from the preset flag, so they need no S_Authority rows.
INSERT INTO S_User (FCode, FName, FPassword, FReserve) VALUES ('admin', '系统管理员', '', True)
INSERT INTO S_User (FCode, FName, FPassword, FReserve) VALUES ('user', '操作员', '', True)
