<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="vkt-1">
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
    <message id="vkt-2">
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message id="vkt-3">
        <source>Please toggle the USB cable to ANALOG mode.</source>
        <translation>Bitte schalten Sie das USB-Kabel in den ANALOG-Modus.</translation>
    </message>
    <message id="vkt-6">
        <source>&amp;Yes</source>
        <translation>&amp;Ja</translation>
    </message>
    <message id="vkt-7">
        <source>&amp;No</source>
        <translation>&amp;Nein</translation>
    </message>
    <message id="vkt-102">
        <source>Dealer login</source>
        <translation>Händleranmeldung</translation>
    </message>
    <message id="vkt-103">
        <source>The serial number is identical to the radio</source>
        <translation>Die Seriennummer stimmt mit der des Funkgeräts überein</translation>
    </message>
    <message id="vkt-104">
        <source>The password is not correct. Please check it!</source>
        <translation>Das Passwort ist nicht korrekt. Bitte überprüfen Sie es!</translation>
    </message>
    <message id="vkt-105">
        <source>&amp;Dealer Login</source>
        <translation>&amp;Händleranmeldung</translation>
    </message>
    <message id="vkt-106">
        <source>You have to restart the tool for thsi change to take effect.</source>
        <translation>Sie müssen das Programm neu starten, damit diese Änderung wirksam wird.</translation>
    </message>
    <message id="vkt-107">
        <source>Specify at most 15 numbers for password</source>
        <translation>Geben Sie als Passwort höchstens 15 Ziffern ein</translation>
    </message>
    <message id="vkt-108">
        <source>For help, press F1</source>
        <translation>Hilfe erhalten Sie mit F1</translation>
    </message>
    <message id="vkt-109">
        <source>Display help</source>
        <translation>Hilfe anzeigen</translation>
    </message>
    <message id="vkt-110">
        <source>Display program information, version number and copyright</source>
        <translation>Programminformationen, Versionsnummer und Copyright anzeigen</translation>
    </message>
    <message id="vkt-111">
        <source>Quit the application</source>
        <translation>Die Anwendung beenden</translation>
    </message>
    <message id="vkt-112">
        <source>A file needed for application could not be found or is corrupted. Please re-install the application.
If you continue to get this message, please contact Customer Service.</source>
        <translation>Eine von der Anwendung benötigte Datei wurde nicht gefunden oder ist beschädigt. Bitte installieren Sie die Anwendung neu.
Wenn diese Meldung weiterhin erscheint, wenden Sie sich bitte an den Kundendienst.</translation>
    </message>
    <message id="vkt-113">
        <source>There are %d USB conections. Please remove the unused and keep one connection only.</source>
        <translation>Es bestehen %d USB-Verbindungen. Bitte entfernen Sie die nicht benötigten und behalten Sie nur eine Verbindung.</translation>
    </message>
    <message id="vkt-114">
        <source>Update successful.</source>
        <translation>Aktualisierung erfolgreich.</translation>
    </message>
    <message id="vkt-115">
        <source>Update failed.</source>
        <translation>Aktualisierung fehlgeschlagen.</translation>
    </message>
    <message id="vkt-116">
        <source>This will program the radio (Firmware Version: %s, Codeplug Version: %s). Please do not remove the USB cable, the radio from the Single Unit Charger, or turn-off radio during the programming process since this can damage or corrupt the radio software.

Do you want to continue?</source>
        <translation>Das Funkgerät wird jetzt programmiert (Firmware-Version: %s, Codeplug-Version: %s). Entfernen Sie während der Programmierung weder das USB-Kabel noch das Funkgerät aus dem Einzelladegerät und schalten Sie das Funkgerät nicht aus, da dies die Software des Funkgeräts beschädigen kann.

Möchten Sie fortfahren?</translation>
    </message>
    <message id="vkt-117">
        <source>The serial number is incorrect.</source>
        <translation>Die Seriennummer ist ungültig.</translation>
    </message>
    <message id="vkt-119">
        <source>Please toggle the USB cable to ANALOG mode then click OK.  After clicking OK, click the "Update" button to retry the upgrading process.</source>
        <translation>Bitte schalten Sie das USB-Kabel in den ANALOG-Modus und klicken Sie dann auf OK.  Klicken Sie danach auf die Schaltfläche "Aktualisieren", um die Aktualisierung erneut zu versuchen.</translation>
    </message>
    <message id="vkt-120">
        <source>Do you want to restore to old radio software version?  Some new features can not be used after the update.</source>
        <translation>Möchten Sie die ältere Softwareversion des Funkgeräts wiederherstellen?  Einige neue Funktionen können nach der Aktualisierung nicht mehr genutzt werden.</translation>
    </message>
    <message id="vkt-121">
        <source>%1 Series</source>
        <translation>Serie %1</translation>
    </message>
    <message id="vkt-123">
        <source>About</source>
        <translation>Info</translation>
    </message>
    <message id="vkt-124">
        <source>&amp;Language</source>
        <translation>&amp;Sprache</translation>
    </message>
    <message id="vkt-125">
        <source>EMEA VKT</source>
        <translation>EMEA VKT</translation>
    </message>
    <message id="vkt-129">
        <source>About %s</source>
        <translation>Info über %s</translation>
    </message>
    <message id="vkt-130">
        <source>Version %s</source>
        <translation>Version %s</translation>
    </message>
    <message id="vkt-131">
        <source>Update serial number successful.</source>
        <translation>Seriennummer erfolgreich aktualisiert.</translation>
    </message>
    <message id="vkt-132">
        <source>Copyright (C) Corvane. All rights reserved.</source>
        <translation>Copyright (C) Corvane. Alle Rechte vorbehalten.</translation>
    </message>
    <message id="vkt-133">
        <source>This program is protected by copyright law. Corvane and VKT are trademarks of Corvane.</source>
        <translation>Dieses Programm ist urheberrechtlich geschützt. Corvane und VKT sind Marken von Corvane.</translation>
    </message>
    <message id="vkt-134">
        <source>Update Tool</source>
        <translation>Update Tool</translation>
    </message>
    <message id="vkt-135">
        <source>Unauthorized reproduction or distribution of this program, or any portion of it, is not permitted. The program is provided for updating radios of the VKT family only; use it as described in its documentation. Corvane is not liable for damage caused by interrupting an update (removing the cable, the radio from its charger, or turning the radio off while it is being programmed).</source>
        <translation>Die unerlaubte Vervielfältigung oder Verbreitung dieses Programms oder von Teilen davon ist nicht gestattet. Das Programm dient ausschließlich der Aktualisierung von Funkgeräten der VKT-Familie; verwenden Sie es wie in seiner Dokumentation beschrieben. Corvane haftet nicht für Schäden, die durch das Unterbrechen einer Aktualisierung entstehen (Entfernen des Kabels, Herausnehmen des Funkgeräts aus dem Ladegerät oder Ausschalten des Funkgeräts während der Programmierung).</translation>
    </message>
    <message id="vkt-136">
        <source>The USB cable is unsupported.</source>
        <translation>Das USB-Kabel wird nicht unterstützt.</translation>
    </message>
    <message id="vkt-137">
        <source>[ 00-00 00:00 ]</source>
        <translation>[ 00-00 00:00 ]</translation>
    </message>
    <message id="vkt-138">
        <source>The help files are unavailable.</source>
        <translation>Die Hilfedateien sind nicht verfügbar.</translation>
    </message>
    <message id="vkt-139">
        <source>Nederlands(&amp;N)</source>
        <translation>Nederlands(&amp;N)</translation>
    </message>
    <message id="vkt-140">
        <source>Español Latino Americano(&amp;A)</source>
        <translation>Español Latino Americano(&amp;A)</translation>
    </message>
    <message id="vkt-141">
        <source>Français Canadien(&amp;C)</source>
        <translation>Français Canadien(&amp;C)</translation>
    </message>
    <message id="vkt-142">
        <source>Português (&amp;Brasil)</source>
        <translation>Português (&amp;Brasil)</translation>
    </message>
    <message id="vkt-143">
        <source>Failed to connect radio.</source>
        <translation>Die Verbindung zum Funkgerät ist fehlgeschlagen.</translation>
    </message>
    <message id="vkt-145">
        <source>The update tool does not support this radio.</source>
        <translation>Das Update Tool unterstützt dieses Funkgerät nicht.</translation>
    </message>
    <message id="vkt-147">
        <source>Please wait...</source>
        <translation>Bitte warten...</translation>
    </message>
    <message id="vkt-148">
        <source>Radio Information</source>
        <translation>Funkgeräteinformationen</translation>
    </message>
    <message id="vkt-149">
        <source>Radio Type</source>
        <translation>Funkgerätetyp</translation>
    </message>
    <message id="vkt-150">
        <source>Regional Code</source>
        <translation>Regionalcode</translation>
    </message>
    <message id="vkt-151">
        <source>Model</source>
        <translation>Modell</translation>
    </message>
    <message id="vkt-152">
        <source>Serial Number</source>
        <translation>Seriennummer</translation>
    </message>
    <message id="vkt-153">
        <source>Firmware Version</source>
        <translation>Firmware-Version</translation>
    </message>
    <message id="vkt-154">
        <source>Codeplug Version</source>
        <translation>Codeplug-Version</translation>
    </message>
    <message id="vkt-155">
        <source>Get Radio Information</source>
        <translation>Funkgeräteinformationen abrufen</translation>
    </message>
    <message id="vkt-156">
        <source>Update</source>
        <translation>Aktualisieren</translation>
    </message>
    <message id="vkt-157">
        <source>Restore radio’s personality</source>
        <translation>Persönlichkeit des Funkgeräts wiederherstellen</translation>
    </message>
    <message id="vkt-331">
        <source>Verify</source>
        <translation>Prüfen</translation>
    </message>
    <message id="vkt-332">
        <source>The radio's flash matches the update package.</source>
        <translation>Der Flash-Speicher des Funkgeräts stimmt mit dem Update-Paket überein.</translation>
    </message>
    <message id="vkt-333">
        <source>The radio's flash differs from the update package. Update the radio again; if the difference stays, the radio needs service.</source>
        <translation>Der Flash-Speicher des Funkgeräts weicht vom Update-Paket ab. Aktualisieren Sie das Funkgerät erneut; bleibt die Abweichung, muss das Funkgerät gewartet werden.</translation>
    </message>
    <message id="vkt-334">
        <source>The radio's flash could not be read back.</source>
        <translation>Der Flash-Speicher des Funkgeräts konnte nicht zurückgelesen werden.</translation>
    </message>
    <message id="vkt-158">
        <source>Update Serial Number</source>
        <translation>Seriennummer aktualisieren</translation>
    </message>
    <message id="vkt-159">
        <source>Login</source>
        <translation>Anmelden</translation>
    </message>
    <message id="vkt-160">
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message id="vkt-161">
        <source>E&amp;xit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message id="vkt-163">
        <source>&amp;Setting</source>
        <translation>&amp;Einstellungen</translation>
    </message>
    <message id="vkt-164">
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message id="vkt-165">
        <source>&amp;Content and Index...</source>
        <translation>&amp;Inhalt und Index...</translation>
    </message>
    <message id="vkt-166">
        <source>&amp;About VKT Update Tool</source>
        <translation>&amp;Info über VKT Update Tool</translation>
    </message>
    <message id="vkt-169">
        <source>Move</source>
        <translation>Verschieben</translation>
    </message>
    <message id="vkt-170">
        <source>Close&#x9;Alt+F4</source>
        <translation>Schließen&#x9;Alt+F4</translation>
    </message>
    <message id="vkt-171">
        <source>Successfully get radio information.</source>
        <translation>Funkgeräteinformationen erfolgreich abgerufen.</translation>
    </message>
    <message id="vkt-172">
        <source>Failed to update serial number.</source>
        <translation>Die Seriennummer konnte nicht aktualisiert werden.</translation>
    </message>
    <message id="vkt-173">
        <source>The update tool can't update this radio for the version compatibility issue.</source>
        <translation>Das Update Tool kann dieses Funkgerät wegen einer Versionsinkompatibilität nicht aktualisieren.</translation>
    </message>
    <message id="vkt-174">
        <source>Radio version is the latest. No need to update.</source>
        <translation>Die Version des Funkgeräts ist aktuell. Eine Aktualisierung ist nicht nötig.</translation>
    </message>
    <message id="vkt-175">
        <source>N/A</source>
        <translation>k. A.</translation>
    </message>
    <message id="vkt-176">
        <source>USB Cable Connected</source>
        <translation>USB-Kabel verbunden</translation>
    </message>
    <message id="vkt-177">
        <source>USB Cable Disconnected</source>
        <translation>USB-Kabel getrennt</translation>
    </message>
    <message id="vkt-300">
        <source>This radio's last update was interrupted on %s; its personality from before that update will be restored.</source>
        <translation>Die letzte Aktualisierung dieses Funkgeräts wurde am %s unterbrochen; seine Persönlichkeit von vor dieser Aktualisierung wird wiederhergestellt.</translation>
    </message>
    <message id="vkt-301">
        <source>This radio reports the serial number %s. The last interrupted update on this machine was of a radio of the same model with the serial number %s, on %s. Is this that radio? Yes restores that radio's personality and serial number from before that update.</source>
        <translation>Dieses Funkgerät meldet die Seriennummer %s. Die letzte unterbrochene Aktualisierung auf diesem Rechner betraf ein Funkgerät desselben Modells mit der Seriennummer %s, am %s. Ist es dieses Funkgerät? Ja stellt die Persönlichkeit und die Seriennummer dieses Funkgeräts von vor jener Aktualisierung wieder her.</translation>
    </message>
    <message id="vkt-302">
        <source>The radio's personality is saved in %s. Switch the radio off and on, then %s.</source>
        <translation>Die Persönlichkeit des Funkgeräts ist in %s gesichert. Schalten Sie das Funkgerät aus und wieder ein, dann %s.</translation>
    </message>
    <message id="vkt-303">
        <source>click "Update" again</source>
        <translation>klicken Sie erneut auf "Aktualisieren"</translation>
    </message>
    <message id="vkt-304">
        <source>Nothing on the radio was erased or written.</source>
        <translation>Auf dem Funkgerät wurde nichts gelöscht oder geschrieben.</translation>
    </message>
    <message id="vkt-305">
        <source>The update was stopped before anything was written; nothing on the radio was changed.</source>
        <translation>Die Aktualisierung wurde angehalten, bevor etwas geschrieben wurde; am Funkgerät wurde nichts geändert.</translation>
    </message>
    <message id="vkt-306">
        <source>The update was stopped.</source>
        <translation>Die Aktualisierung wurde angehalten.</translation>
    </message>
    <message id="vkt-307">
        <source>The update journal cannot be written (%s). The update was not started; nothing on the radio was changed.</source>
        <translation>Das Aktualisierungsprotokoll kann nicht geschrieben werden (%s). Die Aktualisierung wurde nicht begonnen; am Funkgerät wurde nichts geändert.</translation>
    </message>
    <message id="vkt-308">
        <source>The personality backup of this radio's interrupted update cannot be read (%s). The update was not started. Without the backup the personality cannot be restored; to repair the radio, update it without keeping its personality.</source>
        <translation>Die Sicherung der Persönlichkeit aus der unterbrochenen Aktualisierung dieses Funkgeräts kann nicht gelesen werden (%s). Die Aktualisierung wurde nicht begonnen. Ohne die Sicherung kann die Persönlichkeit nicht wiederhergestellt werden; aktualisieren Sie das Funkgerät ohne Erhalt seiner Persönlichkeit, um es instand zu setzen.</translation>
    </message>
    <message id="vkt-309">
        <source>No interrupted update is recorded for this radio.</source>
        <translation>Für dieses Funkgerät ist keine unterbrochene Aktualisierung verzeichnet.</translation>
    </message>
    <message id="vkt-310">
        <source>&amp;Recover Interrupted Update...</source>
        <translation>Unterbrochene Aktualisierung &amp;wiederherstellen...</translation>
    </message>
    <message id="vkt-311">
        <source>Interrupted Updates</source>
        <translation>Unterbrochene Aktualisierungen</translation>
    </message>
    <message id="vkt-312">
        <source>&amp;Recover</source>
        <translation>&amp;Wiederherstellen</translation>
    </message>
    <message id="vkt-313">
        <source>No update was interrupted.</source>
        <translation>Keine Aktualisierung wurde unterbrochen.</translation>
    </message>
    <message id="vkt-314">
        <source>Connect the radio of the selected update and switch it on. Its personality from before that update will be restored and the radio updated again.</source>
        <translation>Schließen Sie das Funkgerät der gewählten Aktualisierung an und schalten Sie es ein. Seine Persönlichkeit von vor jener Aktualisierung wird wiederhergestellt und das Funkgerät erneut aktualisiert.</translation>
    </message>
    <message id="vkt-315">
        <source>The radio on the cable reports the serial number %s, but the selected update was of the radio %s. Is this that radio? Yes restores that radio's personality and serial number from before that update.</source>
        <translation>Das Funkgerät am Kabel meldet die Seriennummer %s, die gewählte Aktualisierung betraf jedoch das Funkgerät %s. Ist es dieses Funkgerät? Ja stellt die Persönlichkeit und die Seriennummer jenes Funkgeräts von vor der Aktualisierung wieder her.</translation>
    </message>
    <message id="vkt-316">
        <source>The radio on the cable is not of the model of the selected update (%s).</source>
        <translation>Das Funkgerät am Kabel ist nicht vom Modell der gewählten Aktualisierung (%s).</translation>
    </message>
    <message id="vkt-317">
        <source>This radio's last update was interrupted on %s. Restore its personality from before that update and update it again now?</source>
        <translation>Die letzte Aktualisierung dieses Funkgeräts wurde am %s unterbrochen. Jetzt seine Persönlichkeit von vor dieser Aktualisierung wiederherstellen und es erneut aktualisieren?</translation>
    </message>
    <message id="vkt-318">
        <source>Recover an interrupted update</source>
        <translation>Eine unterbrochene Aktualisierung wiederherstellen</translation>
    </message>
    <message id="vkt-319">
        <source>Switch the radio off and on, then %s.</source>
        <translation>Schalten Sie das Funkgerät aus und wieder ein, dann %s.</translation>
    </message>
    <message id="vkt-320">
        <source>This radio's last update was interrupted on %s; it will be updated in full.</source>
        <translation>Die letzte Aktualisierung dieses Funkgeräts wurde am %s unterbrochen; es wird vollständig aktualisiert.</translation>
    </message>
    <message id="vkt-321">
        <source>Reading the personality</source>
        <translation>Persönlichkeit wird gelesen</translation>
    </message>
    <message id="vkt-322">
        <source>Erasing</source>
        <translation>Löschen</translation>
    </message>
    <message id="vkt-323">
        <source>Writing the firmware</source>
        <translation>Firmware wird geschrieben</translation>
    </message>
    <message id="vkt-324">
        <source>Writing the codeplug</source>
        <translation>Codeplug wird geschrieben</translation>
    </message>
    <message id="vkt-325">
        <source>Writing the voice prompts</source>
        <translation>Sprachansagen werden geschrieben</translation>
    </message>
    <message id="vkt-326">
        <source>Writing the personality back</source>
        <translation>Persönlichkeit wird zurückgeschrieben</translation>
    </message>
    <message id="vkt-327">
        <source>Finishing</source>
        <translation>Abschluss</translation>
    </message>
    <message id="vkt-328">
        <source>Done</source>
        <translation>Fertig</translation>
    </message>
    <message id="vkt-329">
        <source>The update will erase the radio's channels, frequencies and user-defined voice, and they will not be written back. Do you want to erase them?</source>
        <translation>Die Aktualisierung löscht die Kanäle, Frequenzen und die benutzerdefinierte Sprache des Funkgeräts, und sie werden nicht zurückgeschrieben. Möchten Sie sie löschen?</translation>
    </message>
    <message id="vkt-330">
        <source>Verifying</source>
        <translation>Wird geprüft</translation>
    </message>
    <message id="vkt-32788">
        <source>&amp;English</source>
        <translation>&amp;English</translation>
    </message>
    <message id="vkt-32789">
        <source>Deutsch(&amp;D)</source>
        <translation>Deutsch(&amp;D)</translation>
    </message>
    <message id="vkt-32790">
        <source>Français(&amp;F)</source>
        <translation>Français(&amp;F)</translation>
    </message>
    <message id="vkt-32791">
        <source>Italiano(&amp;I)</source>
        <translation>Italiano(&amp;I)</translation>
    </message>
    <message id="vkt-32792">
        <source>Polski(&amp;L)</source>
        <translation>Polski(&amp;L)</translation>
    </message>
    <message id="vkt-32793">
        <source>Portuguese(&amp;T)</source>
        <translation>Portuguese(&amp;T)</translation>
    </message>
    <message id="vkt-32794">
        <source>Русский(&amp;R)</source>
        <translation>Русский(&amp;R)</translation>
    </message>
    <message id="vkt-32795">
        <source>Español(&amp;S)</source>
        <translation>Español(&amp;S)</translation>
    </message>
    <message id="vkt-32796">
        <source>Türkçe(&amp;K)</source>
        <translation>Türkçe(&amp;K)</translation>
    </message>
</context>
</TS>
