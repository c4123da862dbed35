/* pelk_perf_util: the application processes the health watch looks at
 * (app_health.cpp includes this file; it is data and nothing else).
 *
 * Each name is what the kernel keeps as the task name (comm) of an Android
 * application process: the last 15 characters of its process name, or the
 * whole of a shorter one.  The process name follows each entry that does not
 * equal it.  A few names stand in the list more than once, because AOSP and
 * Google builds of one component end alike and some applications come in
 * several builds; the table watches each of them once.
 */
#ifndef _PELK_APP_HEALTH_NAMES_H
#define _PELK_APP_HEALTH_NAMES_H

static const char *const comm_list[] = {
	/* System applications: telephony, contacts, messaging, connectivity, launchers, settings,
	 * system UI and its overlays, wallpapers, camera, providers, set-up */
	"m.android.phone", /* com.android.phone */
	".server.telecom", /* com.android.server.telecom */
	"ndroid.incallui", /* com.android.incallui */
	"ndroid.contacts", /* com.android.contacts */
	".android.dialer", /* com.android.dialer */
	"com.android.mms",
	"droid.messaging", /* com.android.messaging */
	"droid.bluetooth", /* com.android.bluetooth */
	"com.android.nfc",
	"droid.launcher3", /* com.android.launcher3 */
	"ndroid.settings", /* com.android.settings */
	"ndroid.systemui", /* com.android.systemui */
	"aper.livepicker", /* com.android.wallpaper.livepicker */
	"wallpaperbackup", /* com.android.wallpaperbackup */
	"allpapercropper", /* com.android.wallpapercropper */
	"droid.wallpaper", /* com.android.wallpaper */
	"android.camera2", /* com.android.camera2 */
	"droid.deskclock", /* com.android.deskclock */
	"ndroid.launcher", /* com.android.launcher */
	"ndroid.calendar", /* com.android.calendar */
	"viders.calendar", /* com.android.providers.calendar */
	"viders.contacts", /* com.android.providers.contacts */
	"iders.telephony", /* com.android.providers.telephony */
	"providers.media", /* com.android.providers.media */
	"rs.media.module", /* com.android.providers.media.module */
	"iders.downloads", /* com.android.providers.downloads */
	"rs.downloads.ui", /* com.android.providers.downloads.ui */
	"viders.settings", /* com.android.providers.settings */
	"s.blockednumber", /* com.android.providers.blockednumber */
	"artnerbookmarks", /* com.android.providers.partnerbookmarks */
	"externalstorage", /* com.android.externalstorage */
	"oid.documentsui", /* com.android.documentsui */
	"m.android.shell", /* com.android.shell */
	"ndroid.keychain", /* com.android.keychain */
	"d.certinstaller", /* com.android.certinstaller */
	"ackageinstaller", /* com.android.packageinstaller */
	"ssioncontroller", /* com.android.permissioncontroller */
	"d.carrierconfig", /* com.android.carrierconfig */
	"com.android.stk",
	"oadcastreceiver", /* com.android.cellbroadcastreceiver */
	"roadcastservice", /* com.android.cellbroadcastservice */
	"droid.emergency", /* com.android.emergency */
	"id.simappdialog", /* com.android.simappdialog */
	"roid.vpndialogs", /* com.android.vpndialogs */
	"id.printspooler", /* com.android.printspooler */
	"om.android.bips", /* com.android.bips */
	"d.soundrecorder", /* com.android.soundrecorder */
	"droid.gallery3d", /* com.android.gallery3d */
	"m.android.music", /* com.android.music */
	"m.android.email", /* com.android.email */
	"android.browser", /* com.android.browser */
	"oid.calculator2", /* com.android.calculator2 */
	"roid.htmlviewer", /* com.android.htmlviewer */
	"gedprovisioning", /* com.android.managedprovisioning */
	"android.smspush", /* com.android.smspush */
	"tatementservice", /* com.android.statementservice */
	".storagemanager", /* com.android.storagemanager */
	"d.backupconfirm", /* com.android.backupconfirm */
	"edstoragebackup", /* com.android.sharedstoragebackup */
	".location.fused", /* com.android.location.fused */
	"id.inputdevices", /* com.android.inputdevices */
	"ondevicemanager", /* com.android.companiondevicemanager */
	"droid.dynsystem", /* com.android.dynsystem */
	".localtransport", /* com.android.localtransport */
	"id.proxyhandler", /* com.android.proxyhandler */
	"tiveportallogin", /* com.android.captiveportallogin */
	"id.networkstack", /* com.android.networkstack */
	"stack.tethering", /* com.android.networkstack.tethering */
	"viceentitlement", /* com.android.imsserviceentitlement */
	"android.musicfx", /* com.android.musicfx */
	".quicksearchbox", /* com.android.quicksearchbox */
	"tspot2.osulogin", /* com.android.hotspot2.osulogin */
	".wifi.resources", /* com.android.wifi.resources */
	"ivity.resources", /* com.android.connectivity.resources */
	"oothmidiservice", /* com.android.bluetoothmidiservice */
	"gs.intelligence", /* com.android.settings.intelligence */
	".color.cinnamon", /* com.android.theme.color.cinnamon */
	"eme.color.ocean", /* com.android.theme.color.ocean */
	"me.color.orchid", /* com.android.theme.color.orchid */
	"eme.color.space", /* com.android.theme.color.space */
	"eme.color.green", /* com.android.theme.color.green */
	"me.color.purple", /* com.android.theme.color.purple */
	"notoserifsource", /* com.android.theme.font.notoserifsource */
	"con.roundedrect", /* com.android.theme.icon.roundedrect */
	"e.icon.squircle", /* com.android.theme.icon.squircle */
	"ircular.android", /* com.android.theme.icon_pack.circular.android */
	"filled.systemui", /* com.android.theme.icon_pack.filled.systemui */
	"ounded.settings", /* com.android.theme.icon_pack.rounded.settings */
	"mulation.corner", /* com.android.internal.display.cutout.emulation.corner */
	"mulation.double", /* com.android.internal.display.cutout.emulation.double */
	".emulation.tall", /* com.android.internal.display.cutout.emulation.tall */
	".emulation.hole", /* com.android.internal.display.cutout.emulation.hole */
	"navbar.gestural", /* com.android.internal.systemui.navbar.gestural */
	"bar.threebutton", /* com.android.internal.systemui.navbar.threebutton */
	"avbar.twobutton", /* com.android.internal.systemui.navbar.twobutton */
	"ndroid.apps.tag", /* com.android.apps.tag */
	"d.calllogbackup", /* com.android.calllogbackup */
	"ameraextensions", /* com.android.cameraextensions */
	"edentialmanager", /* com.android.credentialmanager */
	"elockcontroller", /* com.android.devicelockcontroller */
	"nect.controller", /* com.android.healthconnect.controller */
	".intentresolver", /* com.android.intentresolver */
	"android.rkpdapp", /* com.android.rkpdapp */
	"enter.resources", /* com.android.safetycenter.resources */
	"d.uwb.resources", /* com.android.uwb.resources */
	"oid.wifi.dialog", /* com.android.wifi.dialog */
	"ermissionConfig", /* com.android.server.NetworkPermissionConfig */
	".adservices.api", /* com.android.adservices.api */
	"roid.sdksandbox", /* com.android.sdksandbox */
	"zation.services", /* com.android.ondevicepersonalization.services */
	"ompute.services", /* com.android.federatedcompute.services */
	"earby.halfsheet", /* com.android.nearby.halfsheet */
	".DeviceAsWebcam", /* com.android.DeviceAsWebcam */
	"id.avatarpicker", /* com.android.avatarpicker */
	"id.dreams.basic", /* com.android.dreams.basic */
	"rrierdefaultapp", /* com.android.carrierdefaultapp */
	".plugins.connmo", /* com.android.sdm.plugins.connmo */
	"lugins.sprintdm", /* com.android.sdm.plugins.sprintdm */
	"d.vzwomatrigger", /* com.android.vzwomatrigger */
	"d.omadm.service", /* com.android.omadm.service */
	"roid.retaildemo", /* com.android.retaildemo */
	"ookmarkprovider", /* com.android.bookmarkprovider */
	"emui:screenshot", /* com.android.systemui:screenshot */
	"id.nfc:handover", /* com.android.nfc:handover */
	"com.android.ons",
	"com.android.egg",
	"com.android.se",
	"android.vending", /* com.android.vending */
	"ding:background", /* com.android.vending:background */
	"ng:quick_launch", /* com.android.vending:quick_launch */
	".android.chrome", /* com.android.chrome */
	"dboxed_process0", /* com.android.chrome:sandboxed_process0 */
	".recommendation", /* com.android.printservice.recommendation */
	"oid.soundpicker", /* com.android.soundpicker */
	"oid.voicedialer", /* com.android.voicedialer */
	"android.fmradio", /* com.android.fmradio */

	/* Google applications and services, and the mainline modules as Google ships them */
	".gms.persistent", /* com.google.android.gms.persistent */
	"id.gms.unstable", /* com.google.android.gms.unstable */
	"id.gms.feedback", /* com.google.android.gms.feedback */
	"ocation.history", /* com.google.android.gms.location.history */
	"e.process.gapps", /* com.google.process.gapps */
	"rocess.location", /* com.google.process.location */
	"gle.android.gsf", /* com.google.android.gsf */
	"earchbox:search", /* com.google.android.googlequicksearchbox:search */
	"hbox:interactor", /* com.google.android.googlequicksearchbox:interactor */
	"chbox:googleapp", /* com.google.android.googlequicksearchbox:googleapp */
	"ndroid.launcher", /* com.google.android.launcher */
	".android.dialer", /* com.google.android.dialer */
	"ndroid.contacts", /* com.google.android.contacts */
	".apps.messaging", /* com.google.android.apps.messaging */
	"s.messaging:rcs", /* com.google.android.apps.messaging:rcs */
	"android.youtube", /* com.google.android.youtube */
	"s.youtube.music", /* com.google.android.apps.youtube.music */
	"ogle.android.gm", /* com.google.android.gm */
	"ndroid.calendar", /* com.google.android.calendar */
	"oid.apps.photos", /* com.google.android.apps.photos */
	"droid.apps.docs", /* com.google.android.apps.docs */
	".editors.sheets", /* com.google.android.apps.docs.editors.sheets */
	".editors.slides", /* com.google.android.apps.docs.editors.slides */
	"le.android.keep", /* com.google.android.keep */
	"d.apps.meetings", /* com.google.android.apps.meetings */
	".apps.wellbeing", /* com.google.android.apps.wellbeing */
	"roid.apps.turbo", /* com.google.android.apps.turbo */
	"id.apps.restore", /* com.google.android.apps.restore */
	"googleassistant", /* com.google.android.apps.googleassistant */
	".apps.wallpaper", /* com.google.android.apps.wallpaper */
	".apps.nbu.files", /* com.google.android.apps.nbu.files */
	"d.apps.recorder", /* com.google.android.apps.recorder */
	"bscriptions.red", /* com.google.android.apps.subscriptions.red */
	".apps.magazines", /* com.google.android.apps.magazines */
	"d.apps.podcasts", /* com.google.android.apps.podcasts */
	"id.apps.fitness", /* com.google.android.apps.fitness */
	".chromecast.app", /* com.google.android.apps.chromecast.app */
	".authenticator2", /* com.google.android.apps.authenticator2 */
	".apps.classroom", /* com.google.android.apps.classroom */
	"roid.apps.tasks", /* com.google.android.apps.tasks */
	"droid.apps.bard", /* com.google.android.apps.bard */
	"ps.youtube.kids", /* com.google.android.apps.youtube.kids */
	"youtube.creator", /* com.google.android.apps.youtube.creator */
	"kids.familylink", /* com.google.android.apps.kids.familylink */
	"ps.pixelmigrate", /* com.google.android.apps.pixelmigrate */
	"roid.apps.scone", /* com.google.android.apps.scone */
	".android.markup", /* com.google.android.markup */
	"s.work.clouddpc", /* com.google.android.apps.work.clouddpc */
	"oid.setupwizard", /* com.google.android.setupwizard */
	"timeinitializer", /* com.google.android.onetimeinitializer */
	"d.configupdater", /* com.google.android.configupdater */
	"apters.contacts", /* com.google.android.syncadapters.contacts */
	"backuptransport", /* com.google.android.backuptransport */
	"ndroid.feedback", /* com.google.android.feedback */
	"putmethod.latin", /* com.google.android.inputmethod.latin */
	"marvin.talkback", /* com.google.android.marvin.talkback */
	"ection.gearhead", /* com.google.android.projection.gearhead */
	".android.as.oss", /* com.google.android.as.oss */
	"gle.android.ims", /* com.google.android.ims */
	"oadcastreceiver", /* com.google.android.cellbroadcastreceiver */
	"id.networkstack", /* com.google.android.networkstack */
	"tiveportallogin", /* com.google.android.captiveportallogin */
	"ssioncontroller", /* com.google.android.permissioncontroller */
	"ackageinstaller", /* com.google.android.packageinstaller */
	"id.ext.services", /* com.google.android.ext.services */
	"roid.ext.shared", /* com.google.android.ext.shared */
	"rs.media.module", /* com.google.android.providers.media.module */
	"d.media.swcodec", /* com.google.android.media.swcodec */
	"e.android.angle", /* com.google.android.angle */
	"android.webview", /* com.google.android.webview */
	"richromelibrary", /* com.google.android.trichromelibrary */
	".google.ar.lens", /* com.google.ar.lens */
	".google.ar.core", /* com.google.ar.core */
	"roid.hiddenmenu", /* com.google.android.hiddenmenu */
	"e.android.euicc", /* com.google.android.euicc */
	"ier.carrierwifi", /* com.google.android.apps.carrier.carrierwifi */
	"ernal.betterbug", /* com.google.android.apps.internal.betterbug */
	".work.oobconfig", /* com.google.android.apps.work.oobconfig */
	"droid.deskclock", /* com.google.android.deskclock */
	"roid.calculator", /* com.google.android.calculator */
	"droid.gallery3d", /* com.google.android.gallery3d */
	"droid.bluetooth", /* com.google.android.bluetooth */
	"ng:photo_viewer", /* com.google.android.apps.messaging:photo_viewer */
	"android.gms:car", /* com.google.android.gms:car */
	"apps.dreamliner", /* com.google.android.apps.dreamliner */
	"diagnosticstool", /* com.google.android.apps.diagnosticstool */
	"s.pixel.support", /* com.google.android.apps.pixel.support */
	".emojiwallpaper", /* com.google.android.apps.emojiwallpaper */
	"ps.aiwallpapers", /* com.google.android.apps.aiwallpapers */
	"snetworkmonitor", /* com.google.android.apps.cbrsnetworkmonitor */
	"rivacy.wildlife", /* com.google.android.apps.privacy.wildlife */
	".apps.pdfviewer", /* com.google.android.apps.pdfviewer */
	"id.apps.blogger", /* com.google.android.apps.blogger */
	".apps.paidtasks", /* com.google.android.apps.paidtasks */
	"putmethod.hindi", /* com.google.android.apps.inputmethod.hindi */
	"utmethod.zhuyin", /* com.google.android.apps.inputmethod.zhuyin */
	"utmethod.pinyin", /* com.google.android.inputmethod.pinyin */
	"utmethod.korean", /* com.google.android.inputmethod.korean */
	".android.videos", /* com.google.android.videos */
	"e.android.music", /* com.google.android.music */
	"roid.apps.books", /* com.google.android.apps.books */
	".apps.kids.home", /* com.google.android.apps.kids.home */
	"id.apps.navlite", /* com.google.android.apps.navlite */
	"d.apps.mapslite", /* com.google.android.apps.mapslite */
	"d.apps.photosgo", /* com.google.android.apps.photosgo */
	"apps.youtube.vr", /* com.google.android.apps.youtube.vr */
	"estro.companion", /* com.google.android.apps.wearables.maestro.companion */
	"erprise.dmagent", /* com.google.android.apps.enterprise.dmagent */
	"pps.googlevoice", /* com.google.android.apps.googlevoice */
	"droid.apps.plus", /* com.google.android.apps.plus */
	"d.apps.fireball", /* com.google.android.apps.fireball */
	"s.ads.publisher", /* com.google.android.apps.ads.publisher */
	"id.apps.adwords", /* com.google.android.apps.adwords */

	/* Services of the chip platform (MediaTek) */
	"om.mediatek.ims", /* com.mediatek.ims */
	"ek.engineermode", /* com.mediatek.engineermode */
	"ek.callrecorder", /* com.mediatek.callrecorder */
	"oadcastreceiver", /* com.mediatek.cellbroadcastreceiver */
	".mediatek.omacp", /* com.mediatek.omacp */
	"ek.atci.service", /* com.mediatek.atci.service */
	".batterywarning", /* com.mediatek.batterywarning */
	"capctrl.service", /* com.mediatek.capctrl.service */
	"om.mediatek.gba", /* com.mediatek.gba */
	"ek.simprocessor", /* com.mediatek.simprocessor */
	"channel.service", /* com.mediatek.datachannel.service */
	"iatek.telephony", /* com.mediatek.telephony */
	"m.mediatek.ygps", /* com.mediatek.ygps */
	"iatek.mdmconfig", /* com.mediatek.mdmconfig */
	"atek.mdmlsample", /* com.mediatek.mdmlsample */
	"diatek.wfo.impl", /* com.mediatek.wfo.impl */
	"ek.connectivity", /* com.mediatek.connectivity */
	"atek.lbs.em2.ui", /* com.mediatek.lbs.em2.ui */
	"alendarimporter", /* com.mediatek.calendarimporter */
	"diatek.emcamera", /* com.mediatek.emcamera */
	"iatek.mtklogger", /* com.mediatek.mtklogger */
	"tswitch.service", /* com.mediatek.smartratswitch.service */
	"diatek.security", /* com.mediatek.security */
	"ek.voicecommand", /* com.mediatek.voicecommand */
	"tek.schpwronoff", /* com.mediatek.schpwronoff */
	"astuiresoverlay", /* com.mediatek.cellbroadcastuiresoverlay */
	"ediatek.ims.pco", /* com.mediatek.ims.pco */
	"iatek.apmonitor", /* com.mediatek.apmonitor */
	".dataprotection", /* com.mediatek.dataprotection */
	"k.op.ims.common", /* com.mediatek.op.ims.common */
	"om.mediatek.wfd", /* com.mediatek.wfd */
	"tek.videoplayer", /* com.mediatek.videoplayer */
	"mediatek.camera", /* com.mediatek.camera */
	"tek.filemanager", /* com.mediatek.filemanager */
	"tek.factorymode", /* com.mediatek.factorymode */
	"com.mediatek.dm",
	"atek.autodialer", /* com.mediatek.autodialer */
	"powerhalwrapper", /* com.mediatek.powerhalwrapper */
	"ainlocalservice", /* com.mediatek.mbrainlocalservice */
	"om.mediatek.ppl", /* com.mediatek.ppl */
	".debug.loggerui", /* com.debug.loggerui */

	/* Services of the chip platform (Qualcomm) */
	".qcrilmsgtunnel", /* com.qualcomm.qcrilmsgtunnel */
	"tusnotification", /* com.qti.qualcomm.datastatusnotification */
	".uceShimService", /* com.qualcomm.qti.uceShimService */
	".codeaurora.ims", /* org.codeaurora.ims */
	"kloadclassifier", /* com.qualcomm.qti.workloadclassifier */
	"es.systemhelper", /* com.qualcomm.qti.services.systemhelper */
	"omm.timeservice", /* com.qualcomm.timeservice */
	".qualcomm.embms", /* com.qualcomm.embms */
	"i.dpmserviceapp", /* com.qti.dpmserviceapp */
	".qualcomm.atfwd", /* com.qualcomm.atfwd */
	"namicddsservice", /* com.qualcomm.qti.dynamicddsservice */
	"uimremoteclient", /* com.qualcomm.uimremoteclient */
	"uimremoteserver", /* com.qualcomm.uimremoteserver */
	"pdragon.qdcm_ff", /* com.qti.snapdragon.qdcm_ff */
	"com.qti.xdivert",
	"ualcomm.qti.cne", /* com.qualcomm.qti.cne */
	"omm.wfd.service", /* com.qualcomm.wfd.service */
	"atisticsservice", /* com.qualcomm.qti.devicestatisticsservice */
	"performancemode", /* com.qualcomm.qti.performancemode */
	"e.cacert.server", /* vendor.qti.hardware.cacert.server */
	"endor.qti.iwlan", /* vendor.qti.iwlan */
	"ualcomm.qti.lpa", /* com.qualcomm.qti.lpa */
	"utoregistration", /* com.qualcomm.qti.autoregistration */
	"ualcomm.qti.smq", /* com.qualcomm.qti.smq */
	"ti.optinoverlay", /* com.qualcomm.qti.optinoverlay */
	"ualcomm.qti.ims", /* com.qualcomm.qti.ims */
	"tisystemservice", /* com.qualcomm.qti.qtisystemservice */
	"erprint.service", /* com.qualcomm.qti.biometrics.fingerprint.service */
	".networksetting", /* com.qualcomm.qti.networksetting */
	"roamingsettings", /* com.qualcomm.qti.roamingsettings */
	".qti.qccauthmgr", /* com.qualcomm.qti.qccauthmgr */
	"s.lahaina.api30", /* com.qualcomm.qti.gpudrivers.lahaina.api30 */
	"rs.kalama.api33", /* com.qualcomm.qti.gpudrivers.kalama.api33 */
	"rvices.secureui", /* com.qualcomm.qti.services.secureui */
	"docryptoservice", /* com.qualcomm.qti.auth.fidocryptoservice */
	".server.qtiwifi", /* com.qualcomm.qti.server.qtiwifi */
	"qti.pasrservice", /* com.qualcomm.qti.pasrservice */
	"smcinvokepkgmgr", /* com.qualcomm.qti.smcinvokepkgmgr */
	"comm.qti.qcolor", /* com.qualcomm.qti.qcolor */
	".wifidbprovider", /* com.qualcomm.qti.wifidbprovider */
	"ti.diagservices", /* com.qti.diagservices */
	"ce.colorservice", /* com.qti.service.colorservice */
	"com.qti.phone",
	"comm.deviceinfo", /* com.qti.qualcomm.deviceinfo */
	"tssystemservice", /* com.qualcomm.qti.mstatssystemservice */
	"vetouch.service", /* com.qualcomm.qti.improvetouch.service */

	/* Applications of mobile carriers */
	"essaging.vzmsgs", /* com.verizon.messaging.vzmsgs */
	"com.vzw.ecid",
	"erizon.llkagent", /* com.verizon.llkagent */
	"om.verizon.obdm", /* com.verizon.obdm */
	"ssodownloadable", /* com.motricity.verizon.ssodownloadable */
	"le.pr.mytmobile", /* com.tmobile.pr.mytmobile */
	"mobile.pr.adapt", /* com.tmobile.pr.adapt */
	".tmobile.rsuapp", /* com.tmobile.rsuapp */
	"bile.echolocate", /* com.tmobile.echolocate */
	"mobile.tuesdays", /* com.tmobile.tuesdays */
	".att.myWireless", /* com.att.myWireless */
	".mobilesecurity", /* com.att.mobilesecurity */
	"com.att.iqi",
	"oss.dcs.att.r2g", /* com.synchronoss.dcs.att.r2g */
	"rint.ce.updater", /* com.sprint.ce.updater */
	"int.w.installer", /* com.sprint.w.installer */
	"lfcare.activity", /* com.mventus.selfcare.activity */
	"com.jio.myjio",
	".jio.jioplay.tv", /* com.jio.jioplay.tv */
	"com.myairtelapp",
	"c10086.activity", /* com.greenpoint.android.mc10086.activity */
	"atech.unicom.ui", /* com.sinovatech.unicom.ui */
	"com.ct.client",
	"om.cmcc.cmvideo", /* com.cmcc.cmvideo */
	"cwm.mobilemusic", /* cmccwm.mobilemusic */
	"telekom.mds.mbp", /* de.telekom.mds.mbp */
	"nica.mimovistar", /* com.telefonica.mimovistar */
	"bile.mivodafone", /* es.vodafone.mobile.mivodafone */
	"sel.telkomselcm", /* com.telkomsel.telkomselcm */
	"s.mimo.eservice", /* com.ais.mimo.eservice */
	"uplus.mobile.cs", /* com.lguplus.mobile.cs */
	"com.mysafaricom", /* com.safaricom.mysafaricom */
	".tdcm.trueidapp", /* com.tdcm.trueidapp */
	"droid.mytelstra", /* com.telstra.mobile.android.mytelstra */

	/* Widely used applications of other publishers: messaging, social, video,
	 * music, shopping, payment, travel, office, browsers, screen recorders, games */
	"com.tencent.mm",
	"nt.mm:appbrand0", /* com.tencent.mm:appbrand0 */
	"encent.mm:tools", /* com.tencent.mm:tools */
	"nt.mobileqq:MSF", /* com.tencent.mobileqq:MSF */
	".tencent.qqlive", /* com.tencent.qqlive */
	"tencent.qqmusic", /* com.tencent.qqmusic */
	"com.tencent.mtt",
	".tencent.wework", /* com.tencent.wework */
	"cent.tmgp.sgame", /* com.tencent.tmgp.sgame */
	"nt.tmgp.pubgmhd", /* com.tencent.tmgp.pubgmhd */
	"id.qqdownloader", /* com.tencent.android.qqdownloader */
	".tencent.weread", /* com.tencent.weread */
	"tencent.karaoke", /* com.tencent.karaoke */
	"cent.wemeet.app", /* com.tencent.wemeet.app */
	"com.tencent.ig",
	"om.tencent.lolm", /* com.tencent.lolm */
	"cent.qqlivei18n", /* com.tencent.qqlivei18n */
	"droid.ugc.aweme", /* com.ss.android.ugc.aweme */
	"id.article.news", /* com.ss.android.article.news */
	"id.article.lite", /* com.ss.android.article.lite */
	"d.article.video", /* com.ss.android.article.video */
	"ndroid.ugc.live", /* com.ss.android.ugc.live */
	"droid.ugc.trill", /* com.ss.android.ugc.trill */
	"com.dragon.read",
	"com.xingin.xhs",
	"kuaishou.nebula", /* com.kuaishou.nebula */
	"m.taobao.taobao", /* com.taobao.taobao */
	"taobao.idlefish", /* com.taobao.idlefish */
	".tmall.wireless", /* com.tmall.wireless */
	"id.AlipayGphone", /* com.eg.android.AlipayGphone */
	"nmeng.pinduoduo", /* com.xunmeng.pinduoduo */
	"sankuai.meituan", /* com.sankuai.meituan */
	"sdu.didi.psnger", /* com.sdu.didi.psnger */
	"utonavi.minimap", /* com.autonavi.minimap */
	".baidu.BaiduMap", /* com.baidu.BaiduMap */
	"m.baidu.netdisk", /* com.baidu.netdisk */
	"com.baidu.tieba",
	"com.baidu.input",
	"com.sina.weibo",
	"tv.danmaku.bili",
	"ease.cloudmusic", /* com.netease.cloudmusic */
	"m.kugou.android", /* com.kugou.android */
	"com.qiyi.video",
	"com.youku.phone",
	"com.UCMobile",
	"m.quark.browser", /* com.quark.browser */
	"wps.moffice_eng", /* cn.wps.moffice_eng */
	"a.android.rimet", /* com.alibaba.android.rimet */
	"om.MobileTicket", /* com.MobileTicket */
	"hinamworld.main", /* com.chinamworld.main */
	"achievo.vipshop", /* com.achievo.vipshop */
	"com.dianping.v1",
	"om.mt.mtxx.mtxx", /* com.mt.mtxx.mtxx */
	"com.duowan.kiwi",
	"1.mobile.putong", /* com.p1.mobile.putong */
	"com.immomo.momo",
	"om.netease.mail", /* com.netease.mail */
	".moji.mjweather", /* com.moji.mjweather */
	"ya.ting.android", /* com.ximalaya.ting.android */
	"com.youdao.dict",
	"hpbr.bosszhipin", /* com.hpbr.bosszhipin */
	"uke.android.app", /* com.anjuke.android.app */
	"com.sf.activity",
	"miHoYo.Yuanshen", /* com.miHoYo.Yuanshen */
	"o.GenshinImpact", /* com.miHoYo.GenshinImpact */
	"putmethod.sogou", /* com.sohu.inputmethod.sogou */
	"tek.inputmethod", /* com.iflytek.inputmethod */
	"com.whatsapp",
	"om.whatsapp.w4b", /* com.whatsapp.w4b */
	"facebook.katana", /* com.facebook.katana */
	"m.facebook.lite", /* com.facebook.lite */
	"android.youtube", /* com.vanced.android.youtube */
	"android.youtube", /* app.revanced.android.youtube */
	"android.youtube", /* app.rvx.android.youtube */
	"s.youtube.music", /* com.vanced.android.apps.youtube.music */
	"s.youtube.music", /* app.revanced.android.apps.youtube.music */
	".facebook.mlite", /* com.facebook.mlite */
	"cebook.services", /* com.facebook.services */
	"facebook.system", /* com.facebook.system */
	"stagram.android", /* com.instagram.android */
	"agram.barcelona", /* com.instagram.barcelona */
	"napchat.android", /* com.snapchat.android */
	"aoapp.musically", /* com.zhiliaoapp.musically */
	"com.pinterest",
	"inkedin.android", /* com.linkedin.android */
	"eddit.frontpage", /* com.reddit.frontpage */
	"egram.messenger", /* org.telegram.messenger */
	"com.discord",
	"om.skype.raider", /* com.skype.raider */
	"microsoft.teams", /* com.microsoft.teams */
	"m.videomeetings", /* us.zoom.videomeetings */
	"com.viber.voip",
	"com.kakao.talk",
	"o.android.imoim", /* com.imo.android.imoim */
	"m.spotify.music", /* com.spotify.music */
	"ndcloud.android", /* com.soundcloud.android */
	".shazam.android", /* com.shazam.android */
	"lix.mediaclient", /* com.netflix.mediaclient */
	"hirdpartyclient", /* com.amazon.avod.thirdpartyclient */
	"sney.disneyplus", /* com.disney.disneyplus */
	"ndroid.shopping", /* com.amazon.mShop.android.shopping */
	"ndroid.shopping", /* in.amazon.mShop.android.shopping */
	"ba.aliexpresshd", /* com.alibaba.aliexpresshd */
	"innovation.temu", /* com.einnovation.temu */
	".lazada.android", /* com.lazada.android */
	".myntra.android", /* com.myntra.android */
	"m.meesho.supply", /* com.meesho.supply */
	"walmart.android", /* com.walmart.android */
	"ntextlogic.wish", /* com.contextlogic.wish */
	"droid.p2pmobile", /* com.paypal.android.p2pmobile */
	"m.squareup.cash", /* com.squareup.cash */
	"net.one97.paytm",
	"om.ubercab.eats", /* com.ubercab.eats */
	"om.lyft.android", /* com.lyft.android */
	"btaxi.passenger", /* com.grabtaxi.passenger */
	"sor.tripadvisor", /* com.tripadvisor.tripadvisor */
	"xpedia.bookings", /* com.expedia.bookings */
	".office.outlook", /* com.microsoft.office.outlook */
	"ft.office.excel", /* com.microsoft.office.excel */
	"fice.powerpoint", /* com.microsoft.office.powerpoint */
	"ce.officehubrow", /* com.microsoft.office.officehubrow */
	".microsoft.emmx", /* com.microsoft.emmx */
	".microsoft.bing", /* com.microsoft.bing */
	"rosoft.launcher", /* com.microsoft.launcher */
	"dropbox.android", /* com.dropbox.android */
	"om.adobe.reader", /* com.adobe.reader */
	"om.canva.editor", /* com.canva.editor */
	".picsart.studio", /* com.picsart.studio */
	"emon.lvoverseas", /* com.lemon.lvoverseas */
	"era.mini.native", /* com.opera.mini.native */
	"mozilla.firefox", /* org.mozilla.firefox */
	"m.brave.browser", /* com.brave.browser */
	"com.truecaller",
	"clabs.pokemongo", /* com.nianticlabs.pokemongo */
	".candycrushsaga", /* com.king.candycrushsaga */
	"dycrushsodasaga", /* com.king.candycrushsodasaga */
	"ell.clashroyale", /* com.supercell.clashroyale */
	"cell.brawlstars", /* com.supercell.brawlstars */
	"m.roblox.client", /* com.roblox.client */
	"ang.minecraftpe", /* com.mojang.minecraftpe */
	"dts.freefiremax", /* com.dts.freefiremax */
	"om.pubg.imobile", /* com.pubg.imobile */
	"lofduty.shooter", /* com.activision.callofduty.shooter */
	"iloo.subwaysurf", /* com.kiloo.subwaysurf */
	"angi.templerun2", /* com.imangi.templerun2 */
	"a.gp.fifamobile", /* com.ea.gp.fifamobile */
	"ix.gardenscapes", /* com.playrix.gardenscapes */
	"tive.coinmaster", /* com.moonactive.coinmaster */
	"loth.spacemafia", /* com.innersloth.spacemafia */
	"cadopago.wallet", /* com.mercadopago.wallet */
	"m.nu.production", /* com.nu.production */
	"cloudmusic:play", /* com.netease.cloudmusic:play */
	"enrecorder.free", /* com.hecorat.screenrecorder.free */
	".screenrecorder", /* com.kimcy929.screenrecorder */
	"duapps.recorder", /* com.duapps.recorder */
	".amazon.dee.app", /* com.amazon.dee.app */
	"crosoft.cortana", /* com.microsoft.cortana */
	"coilsw.launcher", /* com.teslacoilsw.launcher */
};

#endif
