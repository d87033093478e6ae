<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- A catalog of the tests' own: a product title that differs from the
     English one, so that a title composed in the wrong language shows. -->
<TS version="2.1" language="fr_FR">
<context>
    <name></name>
    <message id="vkt-134">
        <source>Update Tool</source>
        <translation>Outil de mise à jour</translation>
    </message>
</context>
</TS>
