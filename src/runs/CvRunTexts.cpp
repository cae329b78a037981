// Texts of the runs. Order of entries: English, Dutch, German, French, Spanish, Italian,
// Danish, Swedish. An empty entry falls back to English.
#include "CvRunTexts.h"

const TLangText rtInstalling = {"Installing", "Installeren", "Installieren", "", "", "", "", ""};
const TLangText rtDownloading = {"Downloading", "Downloaden", "Herunterladen", "", "", "", "", ""};
const TLangText rtCopying = {"Copying", "Kopiëren", "Kopieren", "", "", "", "", ""};
const TLangText rtTotal = {"Total:", "Totaal:", "Gesamt:", "", "", "", "", ""};
const TLangText rtDone = {"Done...", "Klaar...", "Fertig...", "", "", "", "", ""};
const TLangText rtRequestingFiles = {"Requesting the list of files...", "Lijst met bestanden opvragen...",
                                     "Dateiliste wird abgefragt...", "", "", "", "", ""};
const TLangText rtCheckingFiles = {"Checking the files... %1 of %2", "Bestanden controleren... %1 van %2",
                                   "Dateien werden geprüft... %1 von %2", "", "", "", "", ""};
const TLangText rtReturnToStart = {"Return to start page?", "Terug naar de startpagina?",
                                   "Zurück zur Startseite?", "", "", "", "", ""};

const TLangText rtCaptionSuccess = {"Success", "Geslaagd", "Erfolgreich", "", "", "", "", ""};
const TLangText rtCaptionFailed = {"Failed", "Mislukt", "Fehlgeschlagen", "", "", "", "", ""};
const TLangText rtCaptionPartial = {"Partial success", "Gedeeltelijk geslaagd", "Teilweise erfolgreich",
                                    "", "", "", "", ""};

// The summary texts have English and Dutch only.
const TLangText rtBackupSuccess = {"Backup has been created successfully!", "De backup is succesvol gemaakt!",
                                   "", "", "", "", "", ""};
const TLangText rtRestoreSuccess = {"The backup has been successfully installed!",
                                    "De backup is succesvol geïnstalleerd!", "", "", "", "", "", ""};
const TLangText rtInstallSuccess = {"The selected software has been installed successfully!",
                                    "De geselecteerde software is succesvol geïnstalleerd!", "", "", "", "", "", ""};
const TLangText rtBackupFailed = {"Backup could not be created... Please try again.",
                                  "De backup kon niet worden gemaakt... Probeer het opnieuw.", "", "", "", "", "", ""};
const TLangText rtRestoreFailed = {"The backup could not be installed. Please try again.",
                                   "De backup kon niet worden geïnstalleerd. Probeer het opnieuw.", "", "", "", "", "",
                                   ""};
const TLangText rtInstallFailed = {"Software installation failed. Please try again.",
                                   "De installatie van de software is mislukt. Probeer het opnieuw.", "", "", "", "",
                                   "", ""};
const TLangText rtBackupPartial = {
    "A backup has been created. However not all selected software could be added. Please check...",
    "Er is een backup gemaakt. Niet alle geselecteerde software kon echter worden toegevoegd. Controleer dit "
    "a.u.b...",
    "", "", "", "", "", ""};
const TLangText rtRestorePartial = {
    "A part of the software in the backup has been installed, however some items were not. Please check...",
    "Een deel van de software in de backup is geïnstalleerd, maar sommige onderdelen niet. Controleer dit a.u.b...",
    "", "", "", "", "", ""};
const TLangText rtInstallPartial = {
    "The selected software has been partially installed. Some items could not be installed. Please check...",
    "De geselecteerde software is gedeeltelijk geïnstalleerd. Sommige onderdelen konden niet worden "
    "geïnstalleerd. Controleer dit a.u.b...",
    "", "", "", "", "", ""};

// These messages are English only.
const TLangText rtErrCreateFolder = {"Error creating installation folder, please try again...", "", "", "", "", "",
                                     "", ""};
const TLangText rtErrStartDownload = {"Error starting file download. It will not be downloaded...", "", "", "", "",
                                      "", "", ""};
const TLangText rtErrRunInstaller = {"Cannot run installer", "", "", "", "", "", "", ""};
const TLangText rtErrCopyChartSet = {"Error copying file. Chartset not installed...", "", "", "", "", "", "", ""};
const TLangText rtErrCopyProgram = {"Error copying file. Please try again...", "", "", "", "", "", "", ""};
const TLangText rtErrSaveIndex = {"Error saving backup file. Please try again...", "", "", "", "", "", "", ""};

const TLangText rtErrFileList = {"The list of files could not be fetched:\r\n\r\n%1",
                                 "De lijst met bestanden kon niet worden opgehaald:\r\n\r\n%1",
                                 "Die Dateiliste konnte nicht abgerufen werden:\r\n\r\n%1", "", "", "", "", ""};
const TLangText rtErrDamagedFile = {
    "The file \"%1\" of the backup is missing or damaged (%3).\r\n\r\n\"%2\" is not installed.",
    "Het bestand \"%1\" van de backup ontbreekt of is beschadigd (%3).\r\n\r\n\"%2\" is niet geïnstalleerd.",
    "Die Datei \"%1\" der Sicherung fehlt oder ist beschädigt (%3).\r\n\r\n\"%2\" wurde nicht installiert.", "", "",
    "", "", ""};
const TLangText rtErrSetupExitCode = {"The installer of \"%1\" ended with error code %2.",
                                      "Het installatieprogramma van \"%1\" is geëindigd met foutcode %2.",
                                      "Das Installationsprogramm von \"%1\" endete mit Fehlercode %2.", "", "", "",
                                      "", ""};

const TLangText rtErrFolder = {"Error creating installation folder \"%1\" (%2).", "", "", "", "", "", "", ""};
const TLangText rtErrAddOnArchive = {
    "The add-on archive \"%1\" could not be extracted whole: \"%2\" failed.\r\n\r\n\"%3\" is not completely "
    "installed; the archive is kept.",
    "", "", "", "", "", "", ""};
const TLangText rtErrRunInstallerWhy = {"Cannot run installer \"%1\" (%2).", "", "", "", "", "", "", ""};
const TLangText rtErrBackupUnreadable = {
    "The chosen folder holds a backup whose index \"%1\" cannot be read (%2).\r\n\r\nA backup made here would "
    "replace it and lose the products it lists. Please choose another folder.",
    "", "", "", "", "", "", ""};
const TLangText rtErrFolderLink = {
    "The installation folder \"%1\" is not used: a folder on its way is a symbolic link, which is never written "
    "through.",
    "", "", "", "", "", "", ""};
const TLangText rtErrUntrustedProgram = {
    "\"%1\" is not covered by a valid signature of Corvane Software: the backup cannot be trusted, and "
    "the program is not started.",
    "\"%1\" valt niet onder een geldige handtekening van Corvane Software: de backup is niet te vertrouwen, "
    "en het programma wordt niet gestart.",
    "\"%1\" ist nicht durch eine gültige Signatur von Corvane Software gedeckt: Der Sicherung kann nicht "
    "vertraut werden, und das Programm wird nicht gestartet.", "", "", "", "", ""};
const TLangText rtErrUntrustedItem = {
    "The files of \"%1\" do not match the signature of Corvane Software: the backup cannot be trusted, "
    "and \"%1\" is not installed.",
    "De bestanden van \"%1\" komen niet overeen met de handtekening van Corvane Software: de backup is niet "
    "te vertrouwen, en \"%1\" is niet geïnstalleerd.",
    "Die Dateien von \"%1\" stimmen nicht mit der Signatur von Corvane Software überein: Der Sicherung kann "
    "nicht vertraut werden, und \"%1\" wurde nicht installiert.", "", "", "", "", ""};
const TLangText rtWarnUnsignedCopy = {
    "Warning: the copy of the installer on this backup carries no signature of Corvane Software, because "
    "the installer it was made from is not the one Corvane Software signed. Its setups and chart sets are "
    "still checked against their signatures.",
    "Waarschuwing: de kopie van het installatieprogramma op deze backup heeft geen handtekening van Corvane "
    "Software, omdat het installatieprogramma waarvan ze is gemaakt niet het door Corvane Software "
    "ondertekende is. De setups en kaartsets worden nog steeds tegen hun handtekeningen gecontroleerd.",
    "Warnung: Die Kopie des Installationsprogramms auf dieser Sicherung trägt keine Signatur von Corvane "
    "Software, weil das Installationsprogramm, aus dem sie erstellt wurde, nicht das von Corvane Software "
    "signierte ist. Ihre Setups und Kartensätze werden weiterhin anhand ihrer Signaturen geprüft.",
    "", "", "", "", ""};
const TLangText rtWarnUnsignedCharts = {
    "Warning: this backup was made by an older version and carries no signatures. These chart sets were "
    "installed as the backup holds them: %1",
    "Waarschuwing: deze backup is door een oudere versie gemaakt en heeft geen handtekeningen. Deze "
    "kaartsets zijn geïnstalleerd zoals de backup ze bevat: %1",
    "Warnung: Diese Sicherung wurde von einer älteren Version erstellt und trägt keine Signaturen. Diese "
    "Kartensätze wurden so installiert, wie die Sicherung sie enthält: %1", "", "", "", "", ""};
