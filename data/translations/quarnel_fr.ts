<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>ChunkSize</name>
    <message>
        <source>Type mismatch</source>
        <translation>Type incompatible</translation>
    </message>
    <message>
        <source>Overflow</source>
        <translation>Dépassement de capacité</translation>
    </message>
</context>
<context>
    <name>CursorFile</name>
    <message>
        <source>Cannot read %1: %2</source>
        <translation>Impossible de lire %1&#xa0;: %2</translation>
    </message>
    <message>
        <source>Invalid picture: %1</source>
        <translation>Image non valide&#xa0;: %1</translation>
    </message>
</context>
<context>
    <name>DesktopSession</name>
    <message>
        <source>Splitting or joining %1</source>
        <translation>Découpage ou assemblage de %1</translation>
    </message>
</context>
<context>
    <name>Drops</name>
    <message>
        <source>Please drop one file or folder at a time.</source>
        <translation>Veuillez déposer un seul fichier ou dossier à la fois.</translation>
    </message>
    <message>
        <source>Only files and folders on this computer can be dropped here.</source>
        <translation>Seuls les fichiers et dossiers de cet ordinateur peuvent être déposés ici.</translation>
    </message>
</context>
<context>
    <name>ErrorReport</name>
    <message>
        <source>Application Error</source>
        <translation>Erreur de l’application</translation>
    </message>
</context>
<context>
    <name>Form1</name>
    <message>
        <source>Progress Bar</source>
        <translation>Barre de progression</translation>
    </message>
    <message>
        <source>Must be a numeric entry.</source>
        <translation>La saisie doit être un nombre.</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Aide</translation>
    </message>
    <message>
        <source>Join</source>
        <translation>Assembler</translation>
    </message>
    <message>
        <source>Start Joining</source>
        <translation>Lancer l’assemblage</translation>
    </message>
    <message>
        <source>Select the .splt file or the first piece to join</source>
        <translation>Choisir le fichier .splt ou le premier morceau à assembler</translation>
    </message>
    <message>
        <source>Select .splt Filename (first of set):</source>
        <translation>Fichier .splt (premier du lot)&#xa0;:</translation>
    </message>
    <message>
        <source>Split</source>
        <translation>Découper</translation>
    </message>
    <message>
        <source>Select the file to split</source>
        <translation>Choisir le fichier à découper</translation>
    </message>
    <message>
        <source>Select the folder to save results to</source>
        <translation>Choisir le dossier où enregistrer les résultats</translation>
    </message>
    <message>
        <source>Start Splitting</source>
        <translation>Lancer le découpage</translation>
    </message>
    <message>
        <source>Split Every:</source>
        <translation>Morceaux de&#xa0;:</translation>
    </message>
    <message>
        <source>bytes</source>
        <translation>octets</translation>
    </message>
    <message>
        <source>One File To Split:</source>
        <translation>Fichier source&#xa0;:</translation>
    </message>
    <message>
        <source>Save Results To This Folder:</source>
        <translation>Dossier des résultats&#xa0;:</translation>
    </message>
    <message>
        <source>Progress of the split or join</source>
        <translation>Progression du découpage ou de l’assemblage</translation>
    </message>
    <message>
        <source>Load Sample/Example Split Files</source>
        <translation>Charger l’exemple à découper</translation>
    </message>
    <message>
        <source>Load Sample/Example Join Files</source>
        <translation>Charger l’exemple à assembler</translation>
    </message>
    <message>
        <source>at line %1</source>
        <translation>à la ligne %1</translation>
    </message>
    <message>
        <source>Please email screenshot of this message to %1</source>
        <translation>Veuillez envoyer une capture d’écran de ce message à %1</translation>
    </message>
    <message>
        <source>All Files (*)</source>
        <translation>Tous les fichiers (*)</translation>
    </message>
    <message>
        <source>Split Files (*.splt *.SPLT)</source>
        <translation>Listes de morceaux (*.splt *.SPLT)</translation>
    </message>
    <message>
        <source>Pieces (*.001 *.000 *.crc *.CRC *aa *00)</source>
        <translation>Morceaux (*.001 *.000 *.crc *.CRC *aa *00)</translation>
    </message>
    <message>
        <source>Select File</source>
        <translation>Choisir un fichier</translation>
    </message>
    <message>
        <source>Please select folder:</source>
        <translation>Veuillez choisir un dossier&#xa0;:</translation>
    </message>
    <message>
        <source>The name %1 cannot be used. Please choose it again with the &quot;...&quot; button.</source>
        <translation>Le nom %1 ne peut pas être utilisé. Veuillez le choisir à nouveau avec le bouton «&#xa0;...&#xa0;».</translation>
    </message>
</context>
<context>
    <name>Help</name>
    <message>
        <source>Questions? Please contact Team Velmarc at %1</source>
        <translation>Des questions&#xa0;? Contactez l’équipe Velmarc&#xa0;: %1</translation>
    </message>
</context>
<context>
    <name>Notice</name>
    <message>
        <source>Folder does not exist. Please select another folder.</source>
        <translation>Le dossier n’existe pas. Veuillez choisir un autre dossier.</translation>
    </message>
    <message>
        <source>Cannot split already split file.</source>
        <translation>Impossible de découper un fichier déjà découpé.</translation>
    </message>
    <message>
        <source>%1 does not exist.</source>
        <translation>%1 n’existe pas.</translation>
    </message>
    <message>
        <source>Filesize is less than or equal to chunk size.</source>
        <translation>La taille du fichier est inférieure ou égale à la taille des morceaux.</translation>
    </message>
    <message>
        <source>Done.</source>
        <translation>Terminé.</translation>
    </message>
    <message>
        <source>File successfully split</source>
        <translation>Fichier découpé avec succès</translation>
    </message>
    <message>
        <source>Chunk size must be at least 1 byte.</source>
        <translation>La taille des morceaux doit être d’au moins 1 octet.</translation>
    </message>
    <message>
        <source>Chunk size too small: a file can be split into at most 32767 pieces.</source>
        <translation>Taille des morceaux trop petite&#xa0;: un fichier peut être découpé en 32767 morceaux au plus.</translation>
    </message>
    <message>
        <source>The file name or the folder contains a line break, which a split file list cannot hold.</source>
        <translation>Le nom du fichier ou le dossier contient un saut de ligne, qu’une liste de morceaux ne peut pas contenir.</translation>
    </message>
    <message>
        <source>The names of the pieces would be too long. Please use a shorter file name or folder.</source>
        <translation>Les noms des morceaux seraient trop longs. Veuillez utiliser un nom de fichier ou un dossier plus court.</translation>
    </message>
    <message>
        <source>You must select file to join.</source>
        <translation>Vous devez choisir le fichier à assembler.</translation>
    </message>
    <message>
        <source>%1 not exist</source>
        <translation>%1 n’existe pas</translation>
    </message>
    <message>
        <source>Files successfully joined</source>
        <translation>Fichiers assemblés avec succès</translation>
    </message>
    <message>
        <source>%1 splitted file not found</source>
        <translation>Morceau %1 introuvable</translation>
    </message>
    <message>
        <source>%1 is damaged: its checksum does not match.</source>
        <translation>%1 est endommagé&#xa0;: sa somme de contrôle ne correspond pas.</translation>
    </message>
    <message>
        <source>%1 is not a valid split file list.</source>
        <translation>%1 n’est pas une liste de morceaux valide.</translation>
    </message>
    <message>
        <source>The joined file would overwrite its own piece set. Please select another output folder.</source>
        <translation>Le fichier assemblé écraserait ses propres morceaux. Veuillez choisir un autre dossier de destination.</translation>
    </message>
    <message>
        <source>Another split or join is writing these files. Please wait until it ends.</source>
        <translation>Un autre découpage ou assemblage écrit ces fichiers. Veuillez attendre qu’il se termine.</translation>
    </message>
    <message>
        <source>Pieces rebuilt from the recovery files: %1.</source>
        <translation>Morceaux reconstruits à partir des fichiers de récupération : %1.</translation>
    </message>
    <message>
        <source>The recovery files are not enough to rebuild the missing or damaged pieces: %1 more are needed.</source>
        <translation>Les fichiers de récupération ne suffisent pas pour reconstruire les morceaux manquants ou endommagés : il en faut %1 de plus.</translation>
    </message>
    <message>
        <source>The joined file does not match %1: one of its pieces is damaged.</source>
        <translation>Le fichier assemblé ne correspond pas à %1 : l’un de ses morceaux est endommagé.</translation>
    </message>
    <message>
        <source>%1 is damaged: its length does not match the other pieces.</source>
        <translation>%1 est endommagé&#xa0;: sa taille ne correspond pas à celle des autres morceaux.</translation>
    </message>
    <message>
        <source>%1 is damaged: it lists a name twice with different checksums.</source>
        <translation>%1 est endommagé&#xa0;: il indique deux fois un même nom avec des sommes de contrôle différentes.</translation>
    </message>
</context>
<context>
    <name>Settings</name>
    <message>
        <source>Permission denied or file not writable</source>
        <translation>Accès refusé ou fichier protégé en écriture</translation>
    </message>
    <message>
        <source>Settings file is malformed</source>
        <translation>Le fichier de réglages est mal formé</translation>
    </message>
    <message>
        <source>Cannot read setting &quot;%1&quot; from %2: %3</source>
        <translation>Impossible de lire le réglage «&#xa0;%1&#xa0;» dans %2&#xa0;: %3</translation>
    </message>
    <message>
        <source>Cannot write setting &quot;%1&quot; to %2: %3</source>
        <translation>Impossible d’écrire le réglage «&#xa0;%1&#xa0;» dans %2&#xa0;: %3</translation>
    </message>
</context>
<context>
    <name>Skin</name>
    <message>
        <source>Cannot read %1: %2</source>
        <translation>Impossible de lire %1&#xa0;: %2</translation>
    </message>
</context>
<context>
    <name>StartUp</name>
    <message>
        <source>Cannot open %1</source>
        <translation>Impossible d’ouvrir %1</translation>
    </message>
    <message>
        <source>The program icon is missing</source>
        <translation>L’icône du programme est introuvable</translation>
    </message>
    <message>
        <source>Would you like this software to open the folder where these sample files are stored (so that you can view them before working with them)?</source>
        <translation>Voulez-vous que le programme ouvre le dossier où se trouvent ces fichiers d’exemple (pour les examiner avant de vous en servir)&#xa0;?</translation>
    </message>
</context>
</TS>
