# Dorvane settings. Lines are key=value.
# Method: the packing method of the backup's entries (LH5, LZH, RLE or NON).
Method=LH5
# Extension: appended to the Volume name to form the archive's file name.
Extension=.qbz
# BackupFolder: below the user's home folder, unless DORVANE_BACKUP_DIR names another folder.
BackupFolder=Dorvane Backups
