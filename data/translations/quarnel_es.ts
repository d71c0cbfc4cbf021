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
        <source>Select the .splt file to join</source>
        <translation>Elegir el archivo .splt que se va a unir</translation>
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
        <source>Select File</source>
        <translation>Elegir archivo</translation>
    </message>
    <message>
        <source>Please select folder:</source>
        <translation>Elija una carpeta:</translation>
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
