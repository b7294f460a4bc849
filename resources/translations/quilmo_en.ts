<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>QMRamDiskLocalizable</name>
    <message>
        <source>Please, specify a correct size of RamDisk</source>
        <translation>The size must be at least 128 MB and at most 128 GB</translation>
    </message>
    <message>
        <source>Insuffisant computer memory</source>
        <translation>The computer does not have enough memory for a RAM disk of this size</translation>
    </message>
    <message>
        <source>This opereation cannot be canceled.</source>
        <translation>This cannot be undone.</translation>
    </message>
    <message>
        <source>QMRamDiskType_default</source>
        <translation>Custom RAM Disk</translation>
    </message>
    <message>
        <source>QMRamDiskType_Safari</source>
        <translation>Safari Caches</translation>
    </message>
    <message>
        <source>QMRamDiskType_XcodeBuild</source>
        <translation>Xcode Derived Data</translation>
    </message>
    <message>
        <source>QMRamDiskType_IOsSimulator</source>
        <translation>iOS Simulator</translation>
    </message>
    <message>
        <source>QMRamDiskType_CoreSimulator</source>
        <translation>iOS Simulators</translation>
    </message>
    <message>
        <source>QMRamDiskType_AppCodeCaches</source>
        <translation>AppCode Caches</translation>
    </message>
    <message>
        <source>QMRamDiskType_Firefox</source>
        <translation>Firefox Cache</translation>
    </message>
    <message>
        <source>QMRamDiskType_Chrome</source>
        <translation>Google Chrome Cache</translation>
    </message>
    <message>
        <source>QMRamDiskType_Chromium</source>
        <translation>Chromium Cache</translation>
    </message>
    <message>
        <source>QMRamDiskStatus_notCreated</source>
        <translation>Not Created</translation>
    </message>
    <message>
        <source>QMRamDiskStatus_created</source>
        <translation>Created</translation>
    </message>
    <message>
        <source>QMRamDiskStatus_mounted</source>
        <translation>Mounted</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_creatingCalculatingBaseDirSize</source>
        <translation>Measuring the base directory…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_creating</source>
        <translation>Creating…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_creatingNewFileSystem</source>
        <translation>Creating the file system…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_creatingMoutingVolume</source>
        <translation>Mounting the volume…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_creatingRecopingFromBase</source>
        <translation>Copying the base directory…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_creatingRestoring</source>
        <translation>Restoring the backup…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_creatingExecutingPostCommand</source>
        <translation>Running the post command…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_creatingMdIndexMode</source>
        <translation>Setting up indexing…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_copyingToBase</source>
        <translation>Synchronising with the base directory…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_backuping</source>
        <translation>Backing up…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_remounting</source>
        <translation>Remounting…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_ejecting</source>
        <translation>Ejecting…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_cleanUpFiles</source>
        <translation>Cleaning up files…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_rebuild</source>
        <translation>Rebuilding…</translation>
    </message>
    <message>
        <source>QMRamDiskActionInfo_resizing</source>
        <translation>Resizing…</translation>
    </message>
    <message>
        <source>The mount directory can not be /Users.</source>
        <translation>The mount directory can not be /home.</translation>
    </message>
    <message>
        <source>The mount directory can not be /Volumes.</source>
        <translation>The mount directory can not be the volumes directory.</translation>
    </message>
    <message>
        <source>On_F</source>
        <translation>On</translation>
    </message>
    <message>
        <source>Off_F</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>NO_SELECTED_RAMDISK</source>
        <translation>No RAM Disk Selected</translation>
    </message>
    <message>
        <source>BACKUP_LABEL</source>
        <translation>A backup keeps the RAM disk's files when it is ejected and puts them back when it is created again.</translation>
    </message>
    <message>
        <source>BACKUP_LABEL_CS</source>
        <translation>The simulator's data directory is moved aside while the RAM disk is mounted and is kept in step with it.</translation>
    </message>
    <message>
        <source>BACKUP_LABEL_NA</source>
        <translation>This preset holds caches only: nothing is backed up.</translation>
    </message>
    <message>
        <source>BACKUP_LABEL_BS</source>
        <translation>The cache directory is moved aside while the RAM disk is mounted and is kept in step with it.</translation>
    </message>
    <message>
        <source>%.0f Mo</source>
        <translation>%.0f MB</translation>
    </message>
    <message>
        <source>LOC_:</source>
        <translation>:</translation>
    </message>
    <message>
        <source>Reveal in Finder</source>
        <translation>Show in File Manager</translation>
    </message>
    <message>
        <source>Show Quilmo in menu bar</source>
        <translation>Show Quilmo in the system tray</translation>
    </message>
</context>
<context>
    <name>Localizable</name>
    <message>
        <source>An other action is running:%1</source>
        <translation>Another action is running on this RAM disk (action %1)</translation>
    </message>
    <message>
        <source>Can execute device list command</source>
        <translation>The disk tool could not list the RAM disks</translation>
    </message>
    <message>
        <source>Unable set extended info</source>
        <translation>Unable to tag the RAM disk's volume</translation>
    </message>
    <message>
        <source>Can not create backup</source>
        <translation>The RAM disk could not be saved to its backup</translation>
    </message>
    <message>
        <source>Can not restore backup</source>
        <translation>The RAM disk's backup could not be restored</translation>
    </message>
    <message>
        <source>An critical error occurred with %@.
Please, contact Support.</source>
        <translation>A critical error occurred in %@.
Please contact support.</translation>
    </message>
    <message>
        <source>Relaunch %@ on Login.</source>
        <translation>Start %@ at login.</translation>
    </message>
    <message>
        <source>Drag &amp; Drop %@ to &quot;Login Items&quot; section of Accounts Preferences.</source>
        <translation>Add %@ to the programs your desktop starts at login, in its session or startup settings.</translation>
    </message>
    <message>
        <source>Open Accounts Preferences</source>
        <translation>Open Startup Settings</translation>
    </message>
    <message>
        <source>HELP_GOTO_WEBSITE</source>
        <translation>Quilmo Website</translation>
    </message>
    <message>
        <source>HELP_CONTACT_SUPPORT_OR_FEEDBACK</source>
        <translation>Contact Support or Send Feedback…</translation>
    </message>
    <message>
        <source>HELP_EMAIL_SUPPORT</source>
        <translation>Email Support…</translation>
    </message>
    <message>
        <source>HELP_SUBMIT_REPORT</source>
        <translation>Submit a Problem Report…</translation>
    </message>
    <message>
        <source>On_F</source>
        <translation>On</translation>
    </message>
    <message>
        <source>Off_F</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>NO_SELECTED_RAMDISK</source>
        <translation>No RAM Disk Selected</translation>
    </message>
    <message>
        <source>BACKUP_LABEL</source>
        <translation>A backup keeps the RAM disk's files when it is ejected and puts them back when it is created again.</translation>
    </message>
    <message>
        <source>BACKUP_LABEL_CS</source>
        <translation>The simulator's data directory is moved aside while the RAM disk is mounted and is kept in step with it.</translation>
    </message>
    <message>
        <source>BACKUP_LABEL_NA</source>
        <translation>This preset holds caches only: nothing is backed up.</translation>
    </message>
    <message>
        <source>LOC_:</source>
        <translation>:</translation>
    </message>
</context>
<context>
    <name>QMCheckForUpdates</name>
    <message>
        <source>A new version of %@ is avalaible!</source>
        <translation>A new version of %@ is available!</translation>
    </message>
    <message>
        <source>This version requires at least OS X %@.</source>
        <translation>This version requires at least Linux %@.</translation>
    </message>
</context>
<context>
    <name>QMFunctions</name>
    <message>
        <source>Zero Byte</source>
        <translation>0 bytes</translation>
    </message>
    <message>
        <source>One Byte</source>
        <translation>1 byte</translation>
    </message>
    <message>
        <source>1 Byte</source>
        <translation>1 byte</translation>
    </message>
</context>
</TS>
