<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>ChunkSize</name>
    <message>
        <source>Type mismatch</source>
        <translation>Typen unverträglich</translation>
    </message>
    <message>
        <source>Overflow</source>
        <translation>Überlauf</translation>
    </message>
</context>
<context>
    <name>CursorFile</name>
    <message>
        <source>Cannot read %1: %2</source>
        <translation>%1 kann nicht gelesen werden: %2</translation>
    </message>
    <message>
        <source>Invalid picture: %1</source>
        <translation>Ungültiges Bild: %1</translation>
    </message>
</context>
<context>
    <name>DesktopSession</name>
    <message>
        <source>Splitting or joining %1</source>
        <translation>%1 wird geteilt oder zusammengefügt</translation>
    </message>
</context>
<context>
    <name>Drops</name>
    <message>
        <source>Please drop one file or folder at a time.</source>
        <translation>Bitte legen Sie nur eine Datei oder einen Ordner auf einmal ab.</translation>
    </message>
    <message>
        <source>Only files and folders on this computer can be dropped here.</source>
        <translation>Hier können nur Dateien und Ordner dieses Computers abgelegt werden.</translation>
    </message>
</context>
<context>
    <name>ErrorReport</name>
    <message>
        <source>Application Error</source>
        <translation>Anwendungsfehler</translation>
    </message>
</context>
<context>
    <name>Form1</name>
    <message>
        <source>Progress Bar</source>
        <translation>Fortschrittsbalken</translation>
    </message>
    <message>
        <source>Must be a numeric entry.</source>
        <translation>Die Eingabe muss eine Zahl sein.</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <source>Join</source>
        <translation>Zusammenfügen</translation>
    </message>
    <message>
        <source>Start Joining</source>
        <translation>Zusammenfügen starten</translation>
    </message>
    <message>
        <source>Select the .splt file or the first piece to join</source>
        <translation>Zusammenzufügende .splt-Datei oder ihr erstes Teil auswählen</translation>
    </message>
    <message>
        <source>Select .splt Filename (first of set):</source>
        <translation>.splt-Datei (erste des Satzes):</translation>
    </message>
    <message>
        <source>Split</source>
        <translation>Teilen</translation>
    </message>
    <message>
        <source>Select the file to split</source>
        <translation>Zu teilende Datei auswählen</translation>
    </message>
    <message>
        <source>Select the folder to save results to</source>
        <translation>Ordner für die Ergebnisse auswählen</translation>
    </message>
    <message>
        <source>Start Splitting</source>
        <translation>Teilen starten</translation>
    </message>
    <message>
        <source>Split Every:</source>
        <translation>Teilgröße:</translation>
    </message>
    <message>
        <source>bytes</source>
        <translation>Bytes</translation>
    </message>
    <message>
        <source>One File To Split:</source>
        <translation>Zu teilende Datei:</translation>
    </message>
    <message>
        <source>Save Results To This Folder:</source>
        <translation>Ergebnisse speichern in:</translation>
    </message>
    <message>
        <source>Progress of the split or join</source>
        <translation>Fortschritt beim Teilen oder Zusammenfügen</translation>
    </message>
    <message>
        <source>Load Sample/Example Split Files</source>
        <translation>Teilen: Beispiel laden</translation>
    </message>
    <message>
        <source>Load Sample/Example Join Files</source>
        <translation>Zusammenfügen: Beispiel laden</translation>
    </message>
    <message>
        <source>at line %1</source>
        <translation>in Zeile %1</translation>
    </message>
    <message>
        <source>Please email screenshot of this message to %1</source>
        <translation>Bitte senden Sie ein Bildschirmfoto dieser Meldung an %1</translation>
    </message>
    <message>
        <source>All Files (*)</source>
        <translation>Alle Dateien (*)</translation>
    </message>
    <message>
        <source>Split Files (*.splt *.SPLT)</source>
        <translation>Teilelisten (*.splt *.SPLT)</translation>
    </message>
    <message>
        <source>Pieces (*.001 *.000 *.crc *.CRC *aa *00)</source>
        <translation>Teile (*.001 *.000 *.crc *.CRC *aa *00)</translation>
    </message>
    <message>
        <source>Select File</source>
        <translation>Datei auswählen</translation>
    </message>
    <message>
        <source>Please select folder:</source>
        <translation>Bitte einen Ordner auswählen:</translation>
    </message>
    <message>
        <source>The name %1 cannot be used. Please choose it again with the &quot;...&quot; button.</source>
        <translation>Der Name %1 kann nicht verwendet werden. Bitte wählen Sie ihn erneut mit der Schaltfläche „...“ aus.</translation>
    </message>
</context>
<context>
    <name>Help</name>
    <message>
        <source>Questions? Please contact Team Velmarc at %1</source>
        <translation>Fragen? Bitte wenden Sie sich an Team Velmarc: %1</translation>
    </message>
</context>
<context>
    <name>Notice</name>
    <message>
        <source>Folder does not exist. Please select another folder.</source>
        <translation>Der Ordner existiert nicht. Bitte wählen Sie einen anderen Ordner.</translation>
    </message>
    <message>
        <source>Cannot split already split file.</source>
        <translation>Eine bereits geteilte Datei kann nicht erneut geteilt werden.</translation>
    </message>
    <message>
        <source>%1 does not exist.</source>
        <translation>%1 existiert nicht.</translation>
    </message>
    <message>
        <source>Filesize is less than or equal to chunk size.</source>
        <translation>Die Datei ist nicht größer als die Teilgröße.</translation>
    </message>
    <message>
        <source>Done.</source>
        <translation>Fertig.</translation>
    </message>
    <message>
        <source>File successfully split</source>
        <translation>Datei erfolgreich geteilt</translation>
    </message>
    <message>
        <source>Chunk size must be at least 1 byte.</source>
        <translation>Die Teilgröße muss mindestens 1 Byte betragen.</translation>
    </message>
    <message>
        <source>Chunk size too small: a file can be split into at most 32767 pieces.</source>
        <translation>Teilgröße zu klein: Eine Datei kann in höchstens 32767 Teile geteilt werden.</translation>
    </message>
    <message>
        <source>The file name or the folder contains a line break, which a split file list cannot hold.</source>
        <translation>Der Dateiname oder der Ordner enthält einen Zeilenumbruch, den eine Teileliste nicht aufnehmen kann.</translation>
    </message>
    <message>
        <source>The names of the pieces would be too long. Please use a shorter file name or folder.</source>
        <translation>Die Namen der Teile wären zu lang. Bitte verwenden Sie einen kürzeren Dateinamen oder Ordner.</translation>
    </message>
    <message>
        <source>You must select file to join.</source>
        <translation>Sie müssen eine Datei zum Zusammenfügen auswählen.</translation>
    </message>
    <message>
        <source>%1 not exist</source>
        <translation>%1 existiert nicht</translation>
    </message>
    <message>
        <source>Files successfully joined</source>
        <translation>Dateien erfolgreich zusammengefügt</translation>
    </message>
    <message>
        <source>%1 splitted file not found</source>
        <translation>Teildatei %1 nicht gefunden</translation>
    </message>
    <message>
        <source>%1 is damaged: its checksum does not match.</source>
        <translation>%1 ist beschädigt: Die Prüfsumme stimmt nicht überein.</translation>
    </message>
    <message>
        <source>%1 is not a valid split file list.</source>
        <translation>%1 ist keine gültige Teileliste.</translation>
    </message>
    <message>
        <source>The joined file would overwrite its own piece set. Please select another output folder.</source>
        <translation>Die zusammengefügte Datei würde ihre eigenen Teile überschreiben. Bitte wählen Sie einen anderen Zielordner.</translation>
    </message>
    <message>
        <source>Another split or join is writing these files. Please wait until it ends.</source>
        <translation>Ein anderes Teilen oder Zusammenfügen schreibt gerade diese Dateien. Bitte warten Sie, bis es beendet ist.</translation>
    </message>
    <message>
        <source>Pieces rebuilt from the recovery files: %1.</source>
        <translation>Aus den Wiederherstellungsdateien neu erstellte Teile: %1.</translation>
    </message>
    <message>
        <source>The recovery files are not enough to rebuild the missing or damaged pieces: %1 more are needed.</source>
        <translation>Die Wiederherstellungsdateien reichen nicht aus, um die fehlenden oder beschädigten Teile neu zu erstellen: %1 weitere werden benötigt.</translation>
    </message>
    <message>
        <source>The joined file does not match %1: one of its pieces is damaged.</source>
        <translation>Die zusammengefügte Datei stimmt nicht mit %1 überein: eines ihrer Teile ist beschädigt.</translation>
    </message>
    <message>
        <source>%1 is damaged: its length does not match the other pieces.</source>
        <translation>%1 ist beschädigt: Seine Länge passt nicht zu den anderen Teilen.</translation>
    </message>
    <message>
        <source>%1 is damaged: it lists a name twice with different checksums.</source>
        <translation>%1 ist beschädigt: Darin steht ein Name zweimal mit verschiedenen Prüfsummen.</translation>
    </message>
</context>
<context>
    <name>Settings</name>
    <message>
        <source>Permission denied or file not writable</source>
        <translation>Zugriff verweigert oder Datei nicht beschreibbar</translation>
    </message>
    <message>
        <source>Settings file is malformed</source>
        <translation>Die Einstellungsdatei ist fehlerhaft</translation>
    </message>
    <message>
        <source>Cannot read setting &quot;%1&quot; from %2: %3</source>
        <translation>Die Einstellung „%1“ kann nicht aus %2 gelesen werden: %3</translation>
    </message>
    <message>
        <source>Cannot write setting &quot;%1&quot; to %2: %3</source>
        <translation>Die Einstellung „%1“ kann nicht in %2 geschrieben werden: %3</translation>
    </message>
</context>
<context>
    <name>Skin</name>
    <message>
        <source>Cannot read %1: %2</source>
        <translation>%1 kann nicht gelesen werden: %2</translation>
    </message>
</context>
<context>
    <name>StartUp</name>
    <message>
        <source>Cannot open %1</source>
        <translation>%1 kann nicht geöffnet werden</translation>
    </message>
    <message>
        <source>The program icon is missing</source>
        <translation>Das Programmsymbol fehlt</translation>
    </message>
    <message>
        <source>Would you like this software to open the folder where these sample files are stored (so that you can view them before working with them)?</source>
        <translation>Soll das Programm den Ordner öffnen, in dem diese Beispieldateien liegen (damit Sie sie ansehen können, bevor Sie mit ihnen arbeiten)?</translation>
    </message>
</context>
</TS>
