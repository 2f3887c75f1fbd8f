/* The numbers of the daemon's wire protocol: request types, notification
 * types and the "result" of a reply. Shared by the daemon, the client
 * library and korvanectl; plain C so that C programs can use it too.
 * Installed as <korvane/korvane_codes.h>. */
#ifndef KORVANE_CODES_H
#define KORVANE_CODES_H

/* Requests of front UIs. */
enum korvane_fui_request {
    KORVANE_REQ_FUI_REGISTER = 1000,
    KORVANE_REQ_GET_SECSOFT = 1001,
    KORVANE_REQ_GET_SECSTAT = 1002,
    KORVANE_REQ_SAVE_FUICONF = 1003,
    KORVANE_REQ_GET_FUICONF = 1004,
    KORVANE_REQ_GET_HEALTH = 1005 /* the protection verdict; answered to every peer */
};

/* Requests of security products. */
enum korvane_secsoft_request {
    KORVANE_REQ_SECSOFT_REGISTER = 2000,
    KORVANE_REQ_SECSOFT_UNREGISTER = 2001,
    KORVANE_REQ_SECSTAT_UPDATE = 2002,
    KORVANE_REQ_SECSOFT_UPDATE = 2003
};

/* Notifications the daemon pushes to every front UI; never requests. */
enum korvane_notification {
    KORVANE_NOTIFY_SECSOFT = 1500,       /* a product's detail registered or updated */
    KORVANE_NOTIFY_SECSTAT = 1501,       /* a product's status text */
    KORVANE_NOTIFY_UNREGISTER = 1502,    /* a product unregistered */
    KORVANE_NOTIFY_START_DEFAULT = 1503, /* start the default product */
    KORVANE_NOTIFY_STOP_DEFAULT = 1504,  /* stop the default product */
    KORVANE_NOTIFY_FUI_REPLACED = 1505   /* another front UI took the current one's place */
};

/* "result" of a reply. */
enum korvane_result {
    KORVANE_RESULT_OK = 0,
    KORVANE_RESULT_FAILED = 1,           /* a store operation or stored text failed */
    KORVANE_RESULT_WRONG_TYPE = 2,       /* the type does not match the handler */
    KORVANE_RESULT_BAD_BODY = 3,         /* "data" missing, empty or malformed */
    KORVANE_RESULT_UNKNOWN_FUI = 100,    /* the sender is not a registered front UI */
    KORVANE_RESULT_NO_SECSOFT = 101,     /* no such security product stored */
    KORVANE_RESULT_NO_SECSTAT = 102,     /* no security status stored */
    KORVANE_RESULT_NO_FUICONF = 103,     /* no front-UI configuration stored */
    KORVANE_RESULT_OTHER_FUI = 104,      /* register: another front UI is current */
    KORVANE_RESULT_NOT_PERMITTED = 403,  /* refused by the access policy; nothing done */
    KORVANE_RESULT_NOT_REGISTERED = 500, /* unregister: no such product registered */
    KORVANE_RESULT_NOT_ACTIVE = 501      /* register: stored, another product is active */
};

#endif /* KORVANE_CODES_H */
