# Flag image name -> ISO 3166 code of the maintained flag set (flag-icons, installed by ./run setup).
set(TAVROVPN_FLAGS
  flg_jpn=jp flg_kr=kr flg_tw=tw flg_us=us flg_ger=de flg_eng=gb flg_fra=fr flg_vn=vn flg_th=th
  flg_id=id flg_can=ca flg_bra=br flg_arg=ar flg_mex=mx flg_nld=nl flg_swe=se flg_che=ch flg_bel=be
  flg_dnk=dk flg_nor=no flg_pol=pl flg_irl=ie flg_rus=ru flg_cze=cz flg_ita=it flg_esp=es flg_fin=fi
  flg_aut=at flg_svk=sk flg_bgr=bg flg_hun=hu flg_rou=ro flg_prt=pt flg_lux=lu flg_ukr=ua flg_grc=gr
  flg_isl=is flg_hrv=hr flg_aus=au flg_sgp=sg flg_hkg=hk flg_mac=mo flg_nzl=nz flg_phl=ph flg_mys=my
  flg_zaf=za flg_ind=in flg_are=ae flg_isr=il flg_tur=tr)
