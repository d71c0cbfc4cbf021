<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es">
<context>
    <name>ChunkSize</name>
    <message>
        <source>Type mismatch</source>
        <translation>No coinciden los tipos</translation>
    </message>
    <message>
        <source>Overflow</source>
        <translation>Desbordamiento</translation>
    </message>
</context>
<context>
    <name>CursorFile</name>
    <message>
        <source>Cannot read %1: %2</source>
        <translation>No se puede leer %1: %2</translation>
    </message>
    <message>
        <source>Invalid picture: %1</source>
        <translation>Imagen no válida: %1</translation>
    </message>
</context>
<context>
    <name>DesktopSession</name>
    <message>
        <source>Splitting or joining %1</source>
        <translation>Dividiendo o uniendo %1</translation>
    </message>
</context>
<context>
    <name>Drops</name>
    <message>
        <source>Please drop one file or folder at a time.</source>
        <translation>Suelte un solo archivo o carpeta cada vez.</translation>
    </message>
    <message>
        <source>Only files and folders on this computer can be dropped here.</source>
        <translation>Aquí solo se pueden soltar archivos y carpetas de este equipo.</translation>
    </message>
</context>
<context>
    <name>ErrorReport</name>
    <message>
        <source>Application Error</source>
        <translation>Error de la aplicación</translation>
    </message>
</context>
<context>
    <name>Form1</name>
    <message>
        <source>Progress Bar</source>
        <translation>Barra de progreso</translation>
    </message>
    <message>
        <source>Must be a numeric entry.</source>
        <translation>La entrada debe ser un número.</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Ayuda</translation>
    </message>
    <message>
        <source>Join</source>
        <translation>Unir</translation>
    </message>
    <message>
        <source>Start Joining</source>
        <translation>Empezar a unir</translation>
    </message>
    <message>
        <source>Select the .splt file or the first piece to join</source>
        <translation>Elegir el archivo .splt o la primera parte que se va a unir</translation>
    </message>
    <message>
        <source>Select .splt Filename (first of set):</source>
        <translation>Archivo .splt (primero del juego):</translation>
    </message>
    <message>
        <source>Split</source>
        <translation>Dividir</translation>
    </message>
    <message>
        <source>Select the file to split</source>
        <translation>Elegir el archivo que se va a dividir</translation>
    </message>
    <message>
        <source>Select the folder to save results to</source>
        <translation>Elegir la carpeta donde guardar los resultados</translation>
    </message>
    <message>
        <source>Start Splitting</source>
        <translation>Empezar a dividir</translation>
    </message>
    <message>
        <source>Split Every:</source>
        <translation>Dividir cada:</translation>
    </message>
    <message>
        <source>bytes</source>
        <translation>bytes</translation>
    </message>
    <message>
        <source>One File To Split:</source>
        <translation>Archivo a dividir:</translation>
    </message>
    <message>
        <source>Save Results To This Folder:</source>
        <translation>Guardar resultados en:</translation>
    </message>
    <message>
        <source>Progress of the split or join</source>
        <translation>Progreso de la división o de la unión</translation>
    </message>
    <message>
        <source>Load Sample/Example Split Files</source>
        <translation>Cargar ejemplo para dividir</translation>
    </message>
    <message>
        <source>Load Sample/Example Join Files</source>
        <translation>Cargar ejemplo para unir</translation>
    </message>
    <message>
        <source>at line %1</source>
        <translation>en la línea %1</translation>
    </message>
    <message>
        <source>Please email screenshot of this message to %1</source>
        <translation>Envíe una captura de pantalla de este mensaje a %1</translation>
    </message>
    <message>
        <source>All Files (*)</source>
        <translation>Todos los archivos (*)</translation>
    </message>
    <message>
        <source>Split Files (*.splt *.SPLT)</source>
        <translation>Listas de partes (*.splt *.SPLT)</translation>
    </message>
    <message>
        <source>Pieces (*.001 *.000 *.crc *.CRC *aa *00)</source>
        <translation>Partes (*.001 *.000 *.crc *.CRC *aa *00)</translation>
    </message>
    <message>
        <source>Select File</source>
        <translation>Elegir archivo</translation>
    </message>
    <message>
        <source>Please select folder:</source>
        <translation>Elija una carpeta:</translation>
    </message>
    <message>
        <source>The name %1 cannot be used. Please choose it again with the &quot;...&quot; button.</source>
        <translation>No se puede usar el nombre %1. Vuelva a elegirlo con el botón &quot;...&quot;.</translation>
    </message>
</context>
<context>
    <name>Help</name>
    <message>
        <source>Questions? Please contact Team Velmarc at %1</source>
        <translation>¿Preguntas? Póngase en contacto con el equipo Velmarc en %1</translation>
    </message>
</context>
<context>
    <name>Notice</name>
    <message>
        <source>Folder does not exist. Please select another folder.</source>
        <translation>La carpeta no existe. Elija otra carpeta.</translation>
    </message>
    <message>
        <source>Cannot split already split file.</source>
        <translation>No se puede dividir un archivo ya dividido.</translation>
    </message>
    <message>
        <source>%1 does not exist.</source>
        <translation>%1 no existe.</translation>
    </message>
    <message>
        <source>Filesize is less than or equal to chunk size.</source>
        <translation>El tamaño del archivo es menor o igual que el tamaño de las partes.</translation>
    </message>
    <message>
        <source>Done.</source>
        <translation>Listo.</translation>
    </message>
    <message>
        <source>File successfully split</source>
        <translation>Archivo dividido correctamente</translation>
    </message>
    <message>
        <source>Chunk size must be at least 1 byte.</source>
        <translation>El tamaño de las partes debe ser de al menos 1 byte.</translation>
    </message>
    <message>
        <source>Chunk size too small: a file can be split into at most 32767 pieces.</source>
        <translation>Tamaño de las partes demasiado pequeño: un archivo puede dividirse en 32767 partes como máximo.</translation>
    </message>
    <message>
        <source>The file name or the folder contains a line break, which a split file list cannot hold.</source>
        <translation>El nombre del archivo o la carpeta contiene un salto de línea, que una lista de partes no puede contener.</translation>
    </message>
    <message>
        <source>The names of the pieces would be too long. Please use a shorter file name or folder.</source>
        <translation>Los nombres de las partes serían demasiado largos. Use un nombre de archivo o una carpeta más cortos.</translation>
    </message>
    <message>
        <source>You must select file to join.</source>
        <translation>Debe elegir el archivo que se va a unir.</translation>
    </message>
    <message>
        <source>%1 not exist</source>
        <translation>%1 no existe</translation>
    </message>
    <message>
        <source>Files successfully joined</source>
        <translation>Archivos unidos correctamente</translation>
    </message>
    <message>
        <source>%1 splitted file not found</source>
        <translation>No se encuentra la parte %1</translation>
    </message>
    <message>
        <source>%1 is damaged: its checksum does not match.</source>
        <translation>%1 está dañado: su suma de comprobación no coincide.</translation>
    </message>
    <message>
        <source>%1 is not a valid split file list.</source>
        <translation>%1 no es una lista de partes válida.</translation>
    </message>
    <message>
        <source>The joined file would overwrite its own piece set. Please select another output folder.</source>
        <translation>El archivo unido sobrescribiría sus propias partes. Elija otra carpeta de destino.</translation>
    </message>
    <message>
        <source>Another split or join is writing these files. Please wait until it ends.</source>
        <translation>Otra división o unión está escribiendo estos archivos. Espere a que termine.</translation>
    </message>
    <message>
        <source>Pieces rebuilt from the recovery files: %1.</source>
        <translation>Partes reconstruidas a partir de los archivos de recuperación: %1.</translation>
    </message>
    <message>
        <source>The recovery files are not enough to rebuild the missing or damaged pieces: %1 more are needed.</source>
        <translation>Los archivos de recuperación no bastan para reconstruir las partes que faltan o están dañadas: se necesitan %1 más.</translation>
    </message>
    <message>
        <source>The joined file does not match %1: one of its pieces is damaged.</source>
        <translation>El archivo unido no coincide con %1: una de sus partes está dañada.</translation>
    </message>
    <message>
        <source>%1 is damaged: its length does not match the other pieces.</source>
        <translation>%1 está dañado: su tamaño no coincide con el de las demás partes.</translation>
    </message>
    <message>
        <source>%1 is damaged: it lists a name twice with different checksums.</source>
        <translation>%1 está dañado: indica dos veces un mismo nombre con sumas de comprobación distintas.</translation>
    </message>
</context>
<context>
    <name>Settings</name>
    <message>
        <source>Permission denied or file not writable</source>
        <translation>Permiso denegado o archivo protegido contra escritura</translation>
    </message>
    <message>
        <source>Settings file is malformed</source>
        <translation>El archivo de ajustes está mal formado</translation>
    </message>
    <message>
        <source>Cannot read setting &quot;%1&quot; from %2: %3</source>
        <translation>No se puede leer el ajuste «%1» de %2: %3</translation>
    </message>
    <message>
        <source>Cannot write setting &quot;%1&quot; to %2: %3</source>
        <translation>No se puede escribir el ajuste «%1» en %2: %3</translation>
    </message>
</context>
<context>
    <name>Skin</name>
    <message>
        <source>Cannot read %1: %2</source>
        <translation>No se puede leer %1: %2</translation>
    </message>
</context>
<context>
    <name>StartUp</name>
    <message>
        <source>Cannot open %1</source>
        <translation>No se puede abrir %1</translation>
    </message>
    <message>
        <source>The program icon is missing</source>
        <translation>Falta el icono del programa</translation>
    </message>
    <message>
        <source>Would you like this software to open the folder where these sample files are stored (so that you can view them before working with them)?</source>
        <translation>¿Desea que el programa abra la carpeta donde se encuentran estos archivos de ejemplo (para verlos antes de trabajar con ellos)?</translation>
    </message>
</context>
</TS>
