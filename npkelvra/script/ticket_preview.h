/*
 * An authentication ticket as the log shows it, never whole: a ticket of fewer than
 * sixteen characters shows none of them ("... (9 bytes)"), a longer one its first four
 * ("tkt-... (20 bytes)"), never more than a quarter of it. Characters are UTF-8
 * sequences, so the cut never splits one; a control character, or a byte that starts no
 * well-formed sequence, shows as '?'. The length is the ticket's in bytes. Needs
 * nothing of the system.
 */
#ifndef NPKELVRA_SCRIPT_TICKET_PREVIEW_H
#define NPKELVRA_SCRIPT_TICKET_PREVIEW_H

struct TicketPreview {
  // Four characters of up to four bytes, "... (", ten digits, " bytes)" and the NUL.
  char text[48];
};

// `ticket` is NUL-terminated.
TicketPreview previewTicket(const char* ticket);

#endif
