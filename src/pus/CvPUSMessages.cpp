// Messages of the update-server client, one text table each.
#include "CvPUSClient.h"

#include "CvLanguage.h"

namespace {

const TLangText kRefusedName = {
    "The update server sent the file name \"%s\", which is not allowed: a downloaded file may only "
    "have a plain name inside the download folder. Nothing was written.",
    "De updateserver stuurde de bestandsnaam \"%s\", die niet is toegestaan: een gedownload bestand "
    "mag alleen een gewone naam in de downloadmap hebben. Er is niets geschreven.",
    "Der Update-Server hat den Dateinamen \"%s\" gesendet, der nicht zulässig ist: Eine "
    "heruntergeladene Datei darf nur einen einfachen Namen im Download-Ordner haben. Es wurde nichts "
    "geschrieben.",
    "Le serveur de mise à jour a envoyé le nom de fichier \"%s\", qui n'est pas autorisé : un fichier "
    "téléchargé ne peut avoir qu'un nom simple dans le dossier de téléchargement. Rien n'a été écrit.",
    nullptr,
    nullptr,
    "Opdateringsserveren sendte filnavnet \"%s\", som ikke er tilladt: en hentet fil må kun have et "
    "enkelt navn i download-mappen. Intet blev skrevet.",
    "Uppdateringsservern skickade filnamnet \"%s\", som inte är tillåtet: en hämtad fil får bara ha "
    "ett enkelt namn i nedladdningsmappen. Ingenting skrevs.",
};

const TLangText kWriteFailure = {
    "Could not write the file \"%s\". \r\n\r\nPlease check the following points:\r\n"
    "  - The file or folder name may be invalid\r\n"
    "  - You may not have sufficient access rights to this folder\r\n"
    "  - The file may be in use by another program\r\n"
    "  - The disk may be full",
    "Kan het bestand \"%s\" niet schrijven. \r\n\r\nControleer de volgende punten:\r\n"
    "  - De bestands- of mapnaam is mogelijk ongeldig\r\n"
    "  - U hebt mogelijk onvoldoende toegangsrechten voor deze map\r\n"
    "  - Het bestand is mogelijk in gebruik door een ander programma\r\n"
    "  - De schijf is mogelijk vol",
    "Die Datei \"%s\" konnte nicht geschrieben werden. \r\n\r\nBitte prüfen Sie folgende Punkte:\r\n"
    "  - Der Datei- oder Ordnername ist möglicherweise ungültig\r\n"
    "  - Sie haben möglicherweise keine ausreichenden Zugriffsrechte für diesen Ordner\r\n"
    "  - Die Datei wird möglicherweise von einem anderen Programm verwendet\r\n"
    "  - Der Datenträger ist möglicherweise voll",
    "Impossible d'écrire le fichier \"%s\". \r\n\r\nVeuillez vérifier les points suivants :\r\n"
    "  - Le nom du fichier ou du dossier n'est peut-être pas valide\r\n"
    "  - Vous n'avez peut-être pas les droits d'accès suffisants à ce dossier\r\n"
    "  - Le fichier est peut-être utilisé par un autre programme\r\n"
    "  - Le disque est peut-être plein",
    nullptr,
    nullptr,
    "Filen \"%s\" kunne ikke skrives. \r\n\r\nKontroller venligst følgende:\r\n"
    "  - Fil- eller mappenavnet kan være ugyldigt\r\n"
    "  - Du har muligvis ikke tilstrækkelige adgangsrettigheder til denne mappe\r\n"
    "  - Filen kan være i brug af et andet program\r\n"
    "  - Disken kan være fuld",
    "Det gick inte att skriva filen \"%s\". \r\n\r\nKontrollera följande:\r\n"
    "  - Fil- eller mappnamnet kan vara ogiltigt\r\n"
    "  - Du kanske inte har tillräcklig behörighet till den här mappen\r\n"
    "  - Filen kan användas av ett annat program\r\n"
    "  - Disken kan vara full",
};

const TLangText kRequestFailure = {
    "The Program Update Server could not process the request:\r\n\r\n%s\r\n\r\n"
    "Please try again later or contact Corvane Software if the problem persists.",
    "De Program Update Server kon het verzoek niet verwerken:\r\n\r\n%s\r\n\r\n"
    "Probeer het later opnieuw of neem contact op met Corvane Software als het probleem zich "
    "blijft voordoen.",
    "Der Program Update Server konnte die Anfrage nicht bearbeiten:\r\n\r\n%s\r\n\r\n"
    "Bitte versuchen Sie es später erneut oder wenden Sie sich an Corvane Software, falls das "
    "Problem weiterhin besteht.",
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

const TLangText kProxy = {
    "Proxy authentication required, please contact your network administrator. Errorcode: %s"
    "\r\n\r\nIf the problem persists, contact Corvane Software.",
    "Proxy-authenticatie vereist, neem contact op met uw netwerkbeheerder. Foutcode: %s"
    "\r\n\r\nNeem contact op met Corvane Software als het probleem zich blijft voordoen.",
    "Proxy-Authentifizierung erforderlich, bitte wenden Sie sich an Ihren Netzwerkadministrator. "
    "Fehlercode: %s\r\n\r\nWenden Sie sich an Corvane Software, falls das Problem weiterhin "
    "besteht.",
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

const TLangText kServerError = {
    "The Program Update Server encountered an internal error. Errorcode: %s\r\n\r\n"
    "Please try again later or contact Corvane Software if the problem persists.",
    "Er is een interne fout opgetreden in de Program Update Server. Foutcode: %s\r\n\r\n"
    "Probeer het later opnieuw of neem contact op met Corvane Software als het probleem zich "
    "blijft voordoen.",
    "Im Program Update Server ist ein interner Fehler aufgetreten. Fehlercode: %s\r\n\r\n"
    "Bitte versuchen Sie es später erneut oder wenden Sie sich an Corvane Software, falls das "
    "Problem weiterhin besteht.",
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

const TLangText kConnectionFailure = {
    "Could not connect to the Program Update Server. Errorcode: %s\r\n\r\n"
    "Make sure you have a working internet connection or try again at a later time.",
    "Kan geen verbinding maken met de Program Update Server. Foutcode: %s\r\n\r\n"
    "Controleer of u een werkende internetverbinding hebt of probeer het later opnieuw.",
    "Es konnte keine Verbindung zum Program Update Server hergestellt werden. Fehlercode: %s"
    "\r\n\r\nStellen Sie sicher, dass eine funktionierende Internetverbindung besteht, oder "
    "versuchen Sie es später erneut.",
    "Impossible de se connecter au Program Update Server. Code d'erreur : %s\r\n\r\n"
    "Vérifiez que votre connexion Internet fonctionne ou réessayez plus tard.",
    nullptr,
    nullptr,
    "Der kunne ikke oprettes forbindelse til Program Update Server. Fejlkode: %s\r\n\r\n"
    "Kontroller, at du har en fungerende internetforbindelse, eller prøv igen senere.",
    "Det gick inte att ansluta till Program Update Server. Felkod: %s\r\n\r\n"
    "Kontrollera att du har en fungerande internetanslutning eller försök igen senare.",
};

const TLangText kOverload = {
    "The Program Update Server could not fulfill the request because the server was overloaded "
    "by other request. Errorcode: %s\r\n\r\n"
    "Please try again later or contact Corvane Software of the problem persists.",
    "De Program Update Server kon het verzoek niet uitvoeren omdat de server overbelast was door "
    "andere verzoeken. Foutcode: %s\r\n\r\n"
    "Probeer het later opnieuw of neem contact op met Corvane Software als het probleem zich "
    "blijft voordoen.",
    "Der Program Update Server konnte die Anfrage nicht ausführen, weil er durch andere Anfragen "
    "überlastet war. Fehlercode: %s\r\n\r\n"
    "Bitte versuchen Sie es später erneut oder wenden Sie sich an Corvane Software, falls das "
    "Problem weiterhin besteht.",
    "Le Program Update Server n'a pas pu traiter la demande car le serveur était surchargé par "
    "d'autres demandes. Code d'erreur : %s\r\n\r\n"
    "Veuillez réessayer plus tard ou contacter Corvane Software si le problème persiste.",
    nullptr,
    nullptr,
    "Program Update Server kunne ikke udføre anmodningen, fordi serveren var overbelastet af "
    "andre anmodninger. Fejlkode: %s\r\n\r\n"
    "Prøv igen senere, eller kontakt Corvane Software, hvis problemet fortsætter.",
    "Program Update Server kunde inte utföra begäran eftersom servern var överbelastad av andra "
    "begäranden. Felkod: %s\r\n\r\n"
    "Försök igen senare eller kontakta Corvane Software om problemet kvarstår.",
};

const TLangText kSocketFailure = {
    "A Windows Socket API Error occured: \r\n\r\n%d\r\n\r\n"
    "Please try again later or contact Corvane Software if the problem persists.",
    "Er is een Windows Socket API-fout opgetreden: \r\n\r\n%d\r\n\r\n"
    "Probeer het later opnieuw of neem contact op met Corvane Software als het probleem zich "
    "blijft voordoen.",
    "Ein Windows Socket API-Fehler ist aufgetreten: \r\n\r\n%d\r\n\r\n"
    "Bitte versuchen Sie es später erneut oder wenden Sie sich an Corvane Software, falls das "
    "Problem weiterhin besteht.",
    "Une erreur de l'API Windows Socket s'est produite : \r\n\r\n%d\r\n\r\n"
    "Veuillez réessayer plus tard ou contacter Corvane Software si le problème persiste.",
    nullptr,
    nullptr,
    "Der opstod en Windows Socket API-fejl: \r\n\r\n%d\r\n\r\n"
    "Prøv igen senere, eller kontakt Corvane Software, hvis problemet fortsætter.",
    "Ett Windows Socket API-fel inträffade: \r\n\r\n%d\r\n\r\n"
    "Försök igen senare eller kontakta Corvane Software om problemet kvarstår.",
};

// Our own: a request that could not be started for a reason the transport does not name.
const TLangText kStartFailure = {
    "The request to the Program Update Server could not be started. Errorcode: %s\r\n\r\n"
    "Please try again later or contact Corvane Software if the problem persists.",
    "Het verzoek aan de Program Update Server kon niet worden gestart. Foutcode: %s\r\n\r\n"
    "Probeer het later opnieuw of neem contact op met Corvane Software als het probleem zich "
    "blijft voordoen.",
    "Die Anfrage an den Program Update Server konnte nicht gestartet werden. Fehlercode: %s"
    "\r\n\r\nBitte versuchen Sie es später erneut oder wenden Sie sich an Corvane Software, "
    "falls das Problem weiterhin besteht.",
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Our own: a status the server may send that has no message of its own.
const TLangText kUnknownError = {
    "The Program Update Server reported an unknown error. Errorcode: %s\r\n\r\n"
    "Please try again later or contact Corvane Software if the problem persists.",
    "De Program Update Server meldde een onbekende fout. Foutcode: %s\r\n\r\n"
    "Probeer het later opnieuw of neem contact op met Corvane Software als het probleem zich "
    "blijft voordoen.",
    "Der Program Update Server meldete einen unbekannten Fehler. Fehlercode: %s\r\n\r\n"
    "Bitte versuchen Sie es später erneut oder wenden Sie sich an Corvane Software, falls das "
    "Problem weiterhin besteht.",
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Status texts of the request failure message; English only.
QString StatusText(int status) {
  switch (status) {
    case 400: return QStringLiteral("400: Bad Request");
    case 401: return QStringLiteral("401: Unauthorized");
    case 402: return QStringLiteral("402: Payment Required");
    case 403: return QStringLiteral("403: Forbidden");
    case 404: return QStringLiteral("404: Not Found");
    case 405: return QStringLiteral("405: Method Not Allowed");
    case 406: return QStringLiteral("406: Not Acceptable");
    case 408: return QStringLiteral("408: Request Timeout");
    case 409: return QStringLiteral("409: Conflict");
    case 410: return QStringLiteral("410: Gone");
    case 411: return QStringLiteral("411: Length Required");
    case 412: return QStringLiteral("412: Precondition Failed");
    case 413: return QStringLiteral("413: Request Entity Too Large");
    case 414: return QStringLiteral("414: Request-URI Too Long");
    case 415: return QStringLiteral("415: Unsupported Media Type");
    case 500: return QStringLiteral("500: Internal Server Error");
    case 501: return QStringLiteral("501: Not Implemented");
    case 502: return QStringLiteral("502: Bad Gateway");
    case 504: return QStringLiteral("504: Gateway Timeout");
    case 505: return QStringLiteral("505: HTTP Version Not Supported");
    default: return QStringLiteral("Unknown");
  }
}

// Puts the value in place of the message's single %s or %d.
QString Insert(const TLangText& table, const QString& value) {
  QString text = LangText(table);
  qsizetype at = text.indexOf(QLatin1String("%s"));
  if (at < 0) at = text.indexOf(QLatin1String("%d"));
  if (at >= 0) text.replace(at, 2, value);
  return text;
}

}  // namespace

QString PUSRefusedNameText(const QString& name) {
  // Shown as text: no line break or control character of the server's gets into the box.
  QString shown;
  for (const QChar c : name.left(200)) shown += c.category() == QChar::Other_Control ? QChar(u'?') : c;
  return Insert(kRefusedName, shown);
}

QString PUSErrorText(int result, int socketError, const QString& path) {
  const QString number = QString::number(result);
  switch (result) {
    case 0: return {};
    case prMalformed:
    case -2:
    case -3:
    case -4:
    case prEmptyStatus: return Insert(kServerError, number);
    case prRefused:
    case prBusy:
    case prNothingToPost:
    case prOverflow:
    case prHostNotFound: return Insert(kConnectionFailure, number);
    case prStartFailed: return Insert(kStartFailure, number);
    case prWriteFailed: return Insert(kWriteFailure, path);
    case prSocketError: return Insert(kSocketFailure, QString::number(socketError));
    case 407: return Insert(kProxy, number);
    case 503: return Insert(kOverload, number);
    default: break;
  }
  if (result >= 400 && result <= 505) return Insert(kRequestFailure, StatusText(result));
  return Insert(kUnknownError, number);
}
