// Common texts. Order of entries: English, Dutch, German, French, Spanish, Italian, Danish,
// Swedish. An empty entry falls back to English.
#include "CvLanguage.h"

const TLangText ctBtnYes = {"&Yes", "&Ja", "&Ja", "&Oui", "&Sí", "&Sì", "&Ja", "&Ja"};
const TLangText ctBtnNo = {"&No", "&Nee", "&Nein", "&Non", "&No", "&No", "&Nej", "&Nej"};
const TLangText ctBtnOK = {"OK", "OK", "OK", "OK", "Aceptar", "OK", "OK", "OK"};
const TLangText ctBtnCancel = {"Cancel", "Annuleren", "Abbrechen", "Annuler",
                               "Cancelar", "Annulla", "Annuller", "Avbryt"};
const TLangText ctBtnAbort = {"&Abort", "&Afbreken", "&Abbrechen", "&Abandonner",
                              "&Anular", "&Interrompi", "&Afbryd", "&Avbryt"};
const TLangText ctBtnRetry = {"&Retry", "&Opnieuw", "&Wiederholen", "&Réessayer",
                              "&Reintentar", "&Riprova", "&Prøv igen", "&Försök igen"};
const TLangText ctBtnIgnore = {"&Ignore", "&Negeren", "&Ignorieren", "&Ignorer",
                               "&Omitir", "&Ignora", "&Ignorer", "&Ignorera"};
const TLangText ctBtnAll = {"&All", "&Alles", "&Alle", "&Tous", "&Todo", "&Tutti", "&Alle", "&Alla"};
const TLangText ctBtnNoToAll = {"N&o to All", "N&ee op alles", "Nein, a&lle", "N&on à tout",
                                "N&o a todo", "N&o a tutti", "N&ej til alle", "N&ej till alla"};
const TLangText ctBtnYesToAll = {"Yes to &All", "Ja op &alles", "Ja, &alle", "Oui à &tout",
                                 "Sí a &todo", "Sì a &tutti", "Ja til &alle", "Ja till &alla"};
const TLangText ctBtnHelp = {"&Help", "&Help", "&Hilfe", "&Aide", "Ay&uda", "&Guida", "&Hjælp", "&Hjälp"};
const TLangText ctBtnClose = {"&Close", "&Sluiten", "&Schließen", "&Fermer",
                              "&Cerrar", "&Chiudi", "&Luk", "&Stäng"};

const TLangText ctCaptionWarning = {"Warning", "Waarschuwing", "Warnung", "Avertissement",
                                    "Advertencia", "Avviso", "Advarsel", "Varning"};
const TLangText ctCaptionError = {"Error", "Fout", "Fehler", "Erreur", "Error", "Errore", "Fejl", "Fel"};
const TLangText ctCaptionInformation = {"Information", "Informatie", "Information", "Information",
                                        "Información", "Informazione", "Information", "Information"};
const TLangText ctCaptionConfirm = {"Confirm", "Bevestigen", "Bestätigen", "Confirmer",
                                    "Confirmar", "Conferma", "Bekræft", "Bekräfta"};

// The folder-browser texts have no Spanish entry; "New folder" and the folder-tree messages
// have neither French nor Spanish.
const TLangText ctSelectDestinationFolder = {
    "Select Destination Folder", "Doelmap selecteren", "Zielordner auswählen",
    "Sélectionner le dossier de destination", "", "Seleziona cartella di destinazione",
    "Vælg destinationsmappe", "Välj målmapp"};
const TLangText ctSelectSourceFolder = {
    "Select Source Folder", "Bronmap selecteren", "Quellordner auswählen",
    "Sélectionner le dossier source", "", "Seleziona cartella di origine",
    "Vælg kildemappe", "Välj källmapp"};
const TLangText ctNewFolder = {"New folder", "Nieuwe map", "Neuer Ordner", "", "",
                               "Nuova cartella", "Ny mappe", "Ny mapp"};
const TLangText ctCannotCreateFolderHere = {
    "You cannot create a new folder here.\r\n\r\nChoose a different location.",
    "U kunt hier geen nieuwe map maken.\r\n\r\nKies een andere locatie.",
    "Sie können hier keinen neuen Ordner erstellen.\r\n\r\nWählen Sie einen anderen Speicherort.",
    "",
    "",
    "Impossibile creare una nuova cartella qui.\r\n\r\nScegliere un percorso diverso.",
    "Du kan ikke oprette en ny mappe her.\r\n\r\nVælg en anden placering.",
    "Du kan inte skapa en ny mapp här.\r\n\r\nVälj en annan plats."};
const TLangText ctCannotRenameFolder = {
    "Cannot rename folder.", "Kan de map niet hernoemen.",
    "Der Ordner kann nicht umbenannt werden.", "", "",
    "Impossibile rinominare la cartella.", "Mappen kan ikke omdøbes.",
    "Det går inte att byta namn på mappen."};
const TLangText ctFolderNameExists = {
    "Cannot create folder because the given folder name already exists.\r\n\r\n"
    "Try again with a different folder name.",
    "Kan de map niet maken omdat de opgegeven mapnaam al bestaat.\r\n\r\n"
    "Probeer het opnieuw met een andere mapnaam.",
    "Der Ordner kann nicht erstellt werden, da der angegebene Ordnername bereits existiert.\r\n\r\n"
    "Versuchen Sie es mit einem anderen Ordnernamen erneut.",
    "",
    "",
    "Impossibile creare la cartella perché il nome specificato esiste già.\r\n\r\n"
    "Riprovare con un nome di cartella diverso.",
    "Mappen kan ikke oprettes, fordi det angivne mappenavn allerede findes.\r\n\r\n"
    "Prøv igen med et andet mappenavn.",
    "Det går inte att skapa mappen eftersom det angivna mappnamnet redan finns.\r\n\r\n"
    "Försök igen med ett annat mappnamn."};

#define CV_INVALID_FOLDER_CHARS "\\    /   :   *   ?   \"   <   >   |"
const TLangText ctFolderNameInvalid = {
    "The Folder name contains invalid characters.\r\n\r\nThe following characters are not allowed:"
    "\r\n\r\n" CV_INVALID_FOLDER_CHARS,
    "De mapnaam bevat ongeldige tekens.\r\n\r\nDe volgende tekens zijn niet toegestaan:"
    "\r\n\r\n" CV_INVALID_FOLDER_CHARS,
    "Der Ordnername enthält ungültige Zeichen.\r\n\r\nDie folgenden Zeichen sind nicht zulässig:"
    "\r\n\r\n" CV_INVALID_FOLDER_CHARS,
    "",
    "",
    "Il nome della cartella contiene caratteri non validi.\r\n\r\nI seguenti caratteri non sono "
    "consentiti:\r\n\r\n" CV_INVALID_FOLDER_CHARS,
    "Mappenavnet indeholder ugyldige tegn.\r\n\r\nFølgende tegn er ikke tilladt:"
    "\r\n\r\n" CV_INVALID_FOLDER_CHARS,
    "Mappnamnet innehåller ogiltiga tecken.\r\n\r\nFöljande tecken är inte tillåtna:"
    "\r\n\r\n" CV_INVALID_FOLDER_CHARS};
#undef CV_INVALID_FOLDER_CHARS

const TLangText ctFolderNotFound = {
    "This folder cannot be found.\r\n\r\nMake sure that the correct path and folder name are given.",
    "Deze map kan niet worden gevonden.\r\n\r\nControleer of het juiste pad en de juiste mapnaam "
    "zijn opgegeven.",
    "Dieser Ordner wurde nicht gefunden.\r\n\r\nStellen Sie sicher, dass Pfad und Ordnername "
    "korrekt angegeben sind.",
    "Ce dossier est introuvable.\r\n\r\nVérifiez que le chemin et le nom du dossier sont corrects.",
    "No se encuentra esta carpeta.\r\n\r\nCompruebe que la ruta y el nombre de la carpeta son "
    "correctos.",
    "Impossibile trovare la cartella.\r\n\r\nVerificare che il percorso e il nome della cartella "
    "siano corretti.",
    "Mappen blev ikke fundet.\r\n\r\nKontroller, at stien og mappenavnet er angivet korrekt.",
    "Mappen kan inte hittas.\r\n\r\nKontrollera att rätt sökväg och mappnamn har angetts."};

namespace {
const TLangText ctSecond = {"1 second", "1 seconde", "1 Sekunde", "1 seconde", "1 segundo", "1 secondo", "1 sekund", "1 sekund"};
const TLangText ctSeconds = {"%1 seconds", "%1 seconden", "%1 Sekunden", "%1 secondes", "%1 segundos", "%1 secondi",
                             "%1 sekunder", "%1 sekunder"};
const TLangText ctMinute = {"1 minute", "1 minuut", "1 Minute", "1 minute", "1 minuto", "1 minuto", "1 minut", "1 minut"};
const TLangText ctMinutes = {"%1 minutes", "%1 minuten", "%1 Minuten", "%1 minutes", "%1 minutos", "%1 minuti",
                             "%1 minutter", "%1 minuter"};
}  // namespace

QString WaitInWords(int seconds) {
  if (seconds <= 1) return LangText(ctSecond);
  if (seconds < 120) return seconds == 60 ? LangText(ctMinute) : LangText(ctSeconds).arg(seconds);
  return LangText(ctMinutes).arg((seconds + 59) / 60);
}
