#include "app/strings.h"

#include <map>
#include <utility>

namespace vkt {

namespace {

// The tool's texts by message id. They are kept byte for byte, odd spellings
// ("thsi" and others) included: log readers, console programs and the
// translation catalogs match them exactly, so a "correction" here would
// break them.
const std::map<int, const char*>& englishTable() {
    static const std::map<int, const char*> table{
        {1, "&OK"},
        {2, "Cancel"},
        {3, "Please toggle the USB cable to ANALOG mode."},
        {6, "&Yes"},
        {7, "&No"},
        {102, "Dealer login"},
        {103, "The serial number is identical to the radio"},
        {104, "The password is not correct. Please check it!"},
        {105, "&Dealer Login"},
        {106, "You have to restart the tool for thsi change to take effect."},
        {107, "Specify at most 15 numbers for password"},
        {108, "For help, press F1"},
        {109, "Display help"},
        {110, "Display program information, version number and copyright"},
        {111, "Quit the application"},
        {112,
         "A file needed for application could not be found or is corrupted. Please re-install "
         "the application.\nIf you continue to get this message, please contact Customer "
         "Service."},
        {113,
         "There are %d USB conections. Please remove the unused and keep one connection only."},
        {114, "Update successful."},
        {115, "Update failed."},
        {116,
         "This will program the radio (Firmware Version: %s, Codeplug Version: %s). Please do "
         "not remove the USB cable, the radio from the Single Unit Charger, or turn-off radio "
         "during the programming process since this can damage or corrupt the radio "
         "software.\n\nDo you want to continue?"},
        {117, "The serial number is incorrect."},
        {119,
         "Please toggle the USB cable to ANALOG mode then click OK.  After clicking OK, click "
         "the \"Update\" button to retry the upgrading process."},
        {120,
         "Do you want to restore to old radio software version?  Some new features can not be "
         "used after the update."},
        {121, "%1 Series"},
        {123, "About"},
        {124, "&Language"},
        {125, "EMEA VKT"},
        {129, "About %s"},
        {130, "Version %s"},
        {131, "Update serial number successful."},
        {132, "Copyright (C) Corvane. All rights reserved."},
        {133,
         "This program is protected by copyright law. Corvane and VKT are trademarks of "
         "Corvane."},
        {134, "Update Tool"},
        {135,
         "Unauthorized reproduction or distribution of this program, or any portion of it, "
         "is not permitted. The program is provided for updating radios of the VKT family "
         "only; use it as described in its documentation. Corvane is not liable for damage "
         "caused by interrupting an update (removing the cable, the radio from its charger, "
         "or turning the radio off while it is being programmed)."},
        {136, "The USB cable is unsupported."},
        {137, "[ 00-00 00:00 ]"},
        {138, "The help files are unavailable."},
        {139, "Nederlands(&N)"},
        {140, "Español Latino Americano(&A)"},
        {141, "Français Canadien(&C)"},
        {142, "Português (&Brasil)"},
        {143, "Failed to connect radio."},
        {145, "The update tool does not support this radio."},
        {147, "Please wait..."},
        {148, "Radio Information"},
        {149, "Radio Type"},
        {150, "Regional Code"},
        {151, "Model"},
        {152, "Serial Number"},
        {153, "Firmware Version"},
        {154, "Codeplug Version"},
        {155, "Get Radio Information"},
        {156, "Update"},
        {157, "Restore radio\u2019s personality"},
        {158, "Update Serial Number"},
        {159, "Login"},
        {160, "&File"},
        {161, "E&xit"},
        {163, "&Setting"},
        {164, "&Help"},
        {165, "&Content and Index..."},
        {166, "&About VKT Update Tool"},
        {169, "Move"},
        {170, "Close\tAlt+F4"},
        {171, "Successfully get radio information."},
        {172, "Failed to update serial number."},
        {173, "The update tool can't update this radio for the version compatibility issue."},
        {174, "Radio version is the latest. No need to update."},
        {175, "N/A"},
        {176, "USB Cable Connected"},
        {177, "USB Cable Disconnected"},
        // Recovery of interrupted updates.
        {300,
         "This radio's last update was interrupted on %s; its personality from before that "
         "update will be restored."},
        {301,
         "This radio reports the serial number %s. The last interrupted update on this machine "
         "was of a radio of the same model with the serial number %s, on %s. Is this that "
         "radio? Yes restores that radio's personality and serial number from before that "
         "update."},
        {302, "The radio's personality is saved in %s. Switch the radio off and on, then %s."},
        {303, "click \"Update\" again"},
        {304, "Nothing on the radio was erased or written."},
        {305,
         "The update was stopped before anything was written; nothing on the radio was changed."},
        {306, "The update was stopped."},
        {307,
         "The update journal cannot be written (%s). The update was not started; nothing on the "
         "radio was changed."},
        {308,
         "The personality backup of this radio's interrupted update cannot be read (%s). The "
         "update was not started. Without the backup the personality cannot be restored; to "
         "repair the radio, update it without keeping its personality."},
        {309, "No interrupted update is recorded for this radio."},
        {310, "&Recover Interrupted Update..."},
        {311, "Interrupted Updates"},
        {312, "&Recover"},
        {313, "No update was interrupted."},
        {314,
         "Connect the radio of the selected update and switch it on. Its personality from before "
         "that update will be restored and the radio updated again."},
        {315,
         "The radio on the cable reports the serial number %s, but the selected update was of "
         "the radio %s. Is this that radio? Yes restores that radio's personality and serial "
         "number from before that update."},
        {316, "The radio on the cable is not of the model of the selected update (%s)."},
        {317,
         "This radio's last update was interrupted on %s. Restore its personality from before "
         "that update and update it again now?"},
        {318, "Recover an interrupted update"},
        {319, "Switch the radio off and on, then %s."},
        {320, "This radio's last update was interrupted on %s; it will be updated in full."},
        {321, "Reading the personality"},
        {322, "Erasing"},
        {323, "Writing the firmware"},
        {324, "Writing the codeplug"},
        {325, "Writing the voice prompts"},
        {326, "Writing the personality back"},
        {327, "Finishing"},
        {328, "Done"},
        {329,
         "The update will erase the radio's channels, frequencies and user-defined voice, and "
         "they will not be written back. Do you want to erase them?"},
        {330, "Verifying"},
        {331, "Verify"},
        {332, "The radio's flash matches the update package."},
        {333,
         "The radio's flash differs from the update package. Update the radio again; if the "
         "difference stays, the radio needs service."},
        {334, "The radio's flash could not be read back."},
        {32788, "&English"},
        {32789, "Deutsch(&D)"},
        {32790, "Français(&F)"},
        {32791, "Italiano(&I)"},
        {32792, "Polski(&L)"},
        {32793, "Portuguese(&T)"},
        {32794, "Русский(&R)"},
        {32795, "Español(&S)"},
        {32796, "Türkçe(&K)"},
    };
    return table;
}

Translator& translator() {
    static Translator current;
    return current;
}

}  // namespace

void setTranslator(Translator t) {
    translator() = std::move(t);
}

std::string englishString(int id) {
    const auto& table = englishTable();
    auto it = table.find(id);
    return it == table.end() ? std::string() : std::string(it->second);
}

std::string loadString(int id) {
    if (const Translator& t = translator()) {
        if (std::optional<std::string> text = t(id))
            return *text;
    }
    return englishString(id);
}

std::vector<int> stringIds() {
    std::vector<int> ids;
    for (const auto& [id, text] : englishTable())
        ids.push_back(id);
    return ids;
}

std::string replacePlaceholder(std::string text, const std::string& value) {
    for (std::size_t at = text.find("%1"); at != std::string::npos;
         at = text.find("%1", at + value.size()))
        text.replace(at, 2, value);
    return text;
}

}  // namespace vkt
