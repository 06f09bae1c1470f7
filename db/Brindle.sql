// Taxpayer database Brindle.mdb. One statement per line.
// Text that Jet compares ignoring case (keys, codes, numbers, identifiers) is declared COLLATE NOCASE; yes/no
// columns are BIT holding -1 (True) and 0 (False); the figures of a declaration result are DOUBLE.
CREATE TABLE S_Config (FCategory VARCHAR(20) COLLATE NOCASE NOT NULL, FKey VARCHAR(30) COLLATE NOCASE NOT NULL, FValue VARCHAR(255), FDefault VARCHAR(255), PRIMARY KEY (FCategory, FKey))
CREATE TABLE S_OpLog (FOpTime VARCHAR(23), FTaxMedia VARCHAR(1) COLLATE NOCASE, FUserCode VARCHAR(15) COLLATE NOCASE, FUserName VARCHAR(15), FOpContent VARCHAR(255))
CREATE INDEX IX_S_OpLog_Time ON S_OpLog (FOpTime)
CREATE TABLE KDR_ICCards (FNumber VARCHAR(14) COLLATE NOCASE NOT NULL PRIMARY KEY, FKind VARCHAR(1) COLLATE NOCASE, FEnabled BIT NOT NULL DEFAULT -1, FRemark VARCHAR(8), FOrder VARCHAR(3) COLLATE NOCASE, FDiskNumber VARCHAR(20) COLLATE NOCASE)
CREATE TABLE KDR_DeclareInfo (FIndex VARCHAR(17) COLLATE NOCASE NOT NULL PRIMARY KEY, FTaxMedia VARCHAR(1) COLLATE NOCASE, FMediaID VARCHAR(20) COLLATE NOCASE, FDeclareTime VARCHAR(19), FAcceptID VARCHAR(50) COLLATE NOCASE, FMediaID2 VARCHAR(20) COLLATE NOCASE, FUnlockTime VARCHAR(19))
CREATE INDEX IX_KDR_DeclareInfo_Media ON KDR_DeclareInfo (FMediaID, FDeclareTime)
CREATE INDEX IX_KDR_DeclareInfo_Accept ON KDR_DeclareInfo (FAcceptID)
CREATE TABLE KDR_DeclareResult (FAcceptID VARCHAR(50) COLLATE NOCASE NOT NULL, FTaxKind VARCHAR(1) COLLATE NOCASE, FTaxMedia VARCHAR(1) COLLATE NOCASE, QCKC DOUBLE, BQLG DOUBLE, BQTH DOUBLE, BQKJ DOUBLE, QMJY DOUBLE, ZCFPFS DOUBLE, ZCFPJE DOUBLE, ZCFPSE DOUBLE, ZFFPFS DOUBLE, ZFFPJE DOUBLE, ZFFPSE DOUBLE)
CREATE INDEX IX_KDR_DeclareResult_Accept ON KDR_DeclareResult (FAcceptID)
// The body is long text: LONGTEXT keeps text affinity (a Jet MEMO name would not) and reads as a memo.
CREATE TABLE KDR_Inform (FID VARCHAR(50) COLLATE NOCASE NOT NULL, FTitle VARCHAR(255), FContent LONGTEXT, FPubDate VARCHAR(10), FReceiveTime VARCHAR(23), FExpireDate VARCHAR(10))
CREATE INDEX IX_KDR_Inform_ID ON KDR_Inform (FID)
CREATE TABLE DBVerInfo (FVersion VARCHAR(20), FUpdateTime VARCHAR(19))
INSERT INTO DBVerInfo (FVersion, FUpdateTime) VALUES ('1.0.0', '2026-12-11 00:00:00')
// Shipped configuration rows: the program only ever updates FValue. The installation fills in the taxpayer,
// the enterprise, the tax authority and the server. The initial network password stands in both FDefault and
// FValue, so the user is asked to change it before the first declaration.
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('System', 'EnterpriseName', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('System', 'Path_Backup', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('System', 'TaxpayerID', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Network', 'TaxDeptCode', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Network', 'TaxDeptName', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Network', 'AuthenServer', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Network', 'StandbyServer', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Network', 'AuthenPassword', '123456', '123456')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Network', 'InformServer', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Network', 'SubDomain', '', '')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Network', 'TimeOut', '60000', '60000')
INSERT INTO S_Config (FCategory, FKey, FValue, FDefault) VALUES ('Login', 'IsFirstLogin', '1', '1')
